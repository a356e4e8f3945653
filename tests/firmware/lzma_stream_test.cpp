// LZMA streams of compressed sections: a dictionary bigger than a firmware
// decoder provides is refused before decoding, one up to that size decodes
// within the limit it sets, and every refusal says in words what is wrong
// and where, never a bare number.
#include "firmware/lzma_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "firmware/firmware_error.h"
#include "tests/support/error_message.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 64 KiB that compress but not to nothing.
Bytes Data() {
  Bytes data(0x10000);
  uint32_t x = 1;
  for (auto& b : data) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 28);
  return data;
}

void SetDictionary(Bytes& stream, uint32_t size) {
  std::memcpy(&stream[offsetof(firmware::LzmaAloneHeader, DictionarySize)], &size, sizeof size);
}

TEST(LzmaStream, DecodesWithinItsOwnLimitsAndNamesEveryFault) {
  const Bytes data = Data();
  firmware::LzmaAloneHeader like{};
  like.Properties = 0x5D;
  like.DictionarySize = 1u << 16;
  const Bytes good = firmware::EncodeLzma(data, like);
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::string reason;  // the message starts with it; empty: decodes to `data`
  } cases[] = {
      {"as encoded", [](Bytes&) {}, ""},
      // OVMF's streams say 16 MiB for less data.
      {"16 MiB dictionary, the firmware's own", [](Bytes& s) { SetDictionary(s, 16u << 20); }, ""},
      {"one byte more than 16 MiB", [](Bytes& s) { SetDictionary(s, (16u << 20) + 1); },
       "LZMA stream asks for a dictionary of 0x1000001 bytes, more than the 0x1000000 a firmware decoder provides"},
      {"one bit flipped in the dictionary size", [](Bytes& s) { SetDictionary(s, 0x41000000); },
       "LZMA stream asks for a dictionary of 0x41000000 bytes, more than the 0x1000000 a firmware decoder provides"},
      {"data corrupted", [](Bytes& s) { std::memset(&s[s.size() / 2], 0xFF, 64); },
       "LZMA stream is corrupt at byte 0x"},
      {"cut in half", [](Bytes& s) { s.resize(s.size() / 2); }, "LZMA stream ends before its data does at byte 0x"},
      {"properties out of range", [](Bytes& s) { s[0] = 0xE1; },
       "LZMA stream has a header liblzma does not take as an LZMA stream at byte 0x"},
      {"header cut off", [](Bytes& s) { s.resize(12); }, "LZMA stream shorter than its header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = good;
    c.damage(stream);
    firmware::LzmaStream decoded;
    const std::string message =
        test_support::ErrorMessage<firmware::FirmwareError>([&] { decoded = firmware::DecodeLzma(stream); });
    if (c.reason.empty()) {
      EXPECT_EQ(message, "(nothing thrown)");
      EXPECT_EQ(decoded.data, data);
    } else {
      EXPECT_TRUE(message.starts_with(c.reason)) << message;
    }
  }
}

}  // namespace
