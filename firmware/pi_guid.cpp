#include "firmware/pi_guid.h"

#include <cstdio>

namespace firmware {
namespace {

// Where each stored byte's two digits sit in the text: the first three
// groups are numbers stored little-endian, the last two are bytes in order.
constexpr int TEXT_POSITION[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
constexpr size_t TEXT_LENGTH = 36;
constexpr size_t DASHES[4] = {8, 13, 18, 23};

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string GuidText(const PiGuid& guid) {
  std::string text(TEXT_LENGTH, '-');
  for (int i = 0; i < 16; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", guid.bytes[i]);
    text[TEXT_POSITION[i]] = digits[0];
    text[TEXT_POSITION[i] + 1] = digits[1];
  }
  return text;
}

std::optional<PiGuid> ParseGuid(std::string_view text) {
  if (text.size() != TEXT_LENGTH) return std::nullopt;
  for (size_t dash : DASHES)
    if (text[dash] != '-') return std::nullopt;
  PiGuid guid{};
  for (int i = 0; i < 16; ++i) {
    const int high = DigitValue(text[TEXT_POSITION[i]]), low = DigitValue(text[TEXT_POSITION[i] + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    guid.bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return guid;
}

}  // namespace firmware
