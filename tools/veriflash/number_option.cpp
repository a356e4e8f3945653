#include "tools/veriflash/number_option.h"

#include <fmt/core.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

int DigitValue(char c, int base) {
  const int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                   : base;
  return value < base ? value : -1;
}

// How far a size suffix shifts: K = 10, M = 20, G = 30; -1 for anything else.
int SuffixShift(std::string suffix) {
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& [letter, shift] : {std::pair{'k', 10}, std::pair{'m', 20}, std::pair{'g', 30}})
    for (const std::string tail : {"", "b", "i", "ib"})
      if (suffix == letter + tail) return shift;
  return -1;
}

std::optional<uint64_t> ParseInteger(const std::string& text, bool suffix) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const int base = hex ? 16 : 10;
  size_t i = hex ? 2 : 0;
  const size_t first = i;
  uint64_t value = 0;
  for (int digit; i < text.size() && (digit = DigitValue(text[i], base)) >= 0; ++i) {
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (i == first) return std::nullopt;
  if (i == text.size()) return value;
  const int shift = suffix ? SuffixShift(text.substr(i)) : -1;
  if (shift < 0 || value > (UINT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

// strtold reads "nan", "inf", signs and leading spaces; a real option takes
// none of them, so the text must start with a digit or a point.
std::optional<long double> ParseReal(const std::string& text) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long double value = std::strtold(text.c_str(), &end);
  if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string RangeText(NumberKind kind, long double min, long double max) {
  if (kind == NumberKind::Real) return fmt::format("a number from {:g} to {:g}", static_cast<double>(min),
                                                   static_cast<double>(max));
  return fmt::format("{} from {} to {}", kind == NumberKind::Size ? "a size" : "a whole number",
                     Hex(static_cast<uint64_t>(min)), Hex(static_cast<uint64_t>(max)));
}

}  // namespace

CLI::Option* NumberIn(CLI::Option* option, NumberKind kind, long double min, long double max) {
  const std::string name = option->get_name();
  // A ToolError, not a CLI11 validation message, so that the refusal is the
  // tool's one line on stderr like every other.
  option->transform(CLI::Validator(
      [=](std::string& text) {
        const std::string given = text;
        std::optional<long double> value;
        if (kind == NumberKind::Real) {
          value = ParseReal(text);
        } else if (const auto integer = ParseInteger(text, kind == NumberKind::Size)) {
          value = static_cast<long double>(*integer);
          text = std::to_string(*integer);
        }
        if (!value || *value < min || *value > max)
          throw ToolError(fmt::format("{} {}: not {}", name, given, RangeText(kind, min, max)));
        return std::string();
      },
      ""));
  return option;
}

}  // namespace veriflash
