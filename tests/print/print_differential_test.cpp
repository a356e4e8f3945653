// Differential test against the host C library's snprintf: many generated
// directives (deterministic pseudo-random), each between literal characters,
// in the subset where the engine's rules and C's agree.
//
// In the subset: conversions 'd', 'u', 'x' and 'X' with 32-bit values, and
// 64-bit values after 'l' (C's "ll"); flags '-', '+', ' ' and '0' in any
// order and number; a literal or '*' width; a literal or '*' precision.
// Checked against the engine's rules and kept, because both sides agree:
//   - '0' together with a precision: both ignore the '0' ("%05.3d" -> "  042").
//   - '0' together with '-': both pad with blanks after the text.
//   - "%.0d" and "%.0x" of 0 print no digit, also with a width or a sign
//     ("%+.0d" -> "+").
//   - '+' together with ' ' on 'd': '+' wins.
//   - '+' on 'u': both print no sign (the engine's 'u' clears PF_SHOW_PLUS).
//   - The sign goes before the zero-fill: "%+05d" -> "+0042", "%05d" of -42
//     -> "-0042"; INT32_MIN and INT64_MIN print their full magnitude.
//   - A '0' flag followed by no width ("%0d", "%0-0d"): the engine reads width
//     0, which pads nothing, the same as C's absent width.
// Left out, because the engine deliberately differs from C:
//   - '+' and ' ' on 'x'/'X': the engine prints the prefix ("%+x" of 255 ->
//     "+FF"); C ignores both flags for unsigned conversions.
//   - ' ' on 'u': the engine keeps PF_SHOW_SPACE ("% u" of 5 -> " 5"); C ignores it.
//   - A '.' without digits or '*': the engine keeps the default precision 1
//     ("%.d" of 0 -> "0"); C reads precision 0 ("").
//   - Negative '*' arguments: the engine pads nothing for a negative width and
//     reads a negative precision as an unsigned value of 2^31 or more; C
//     left-aligns to the magnitude and drops the precision.
//   - Lower-case digits: the engine's hexadecimal digits are always upper case,
//     so 'x' and 'X' are compared case-insensitively.
//   - 'X' as such: the engine's 'X' always sets PF_ZERO_FILL ("%8X" of 255 ->
//     "000000FF"), so it is compared with C's conversion under an added '0'
//     flag, which C applies under the same conditions (a width, no '-', no
//     precision).
// Not generated at all, having no C counterpart or meaning C gives them
// differently: ',', flags after a width or precision, '#', 'p', 'c', and the
// engine's own conversions.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/print/print_test_support.h"

namespace {

using print_test::Escaped;
using print_test::SplitMix64;

struct Directive {
  std::string flags;
  enum { NONE, LITERAL, STAR } width = NONE, precision = NONE;
  int32_t widthValue = 0;
  int32_t precisionValue = 0;
  bool isLong = false;
  char conversion = 'd';
  uint64_t value = 0;

  // The directive for the engine; `forC` gives C's spelling of the same.
  std::string Text(bool forC) const {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
    // "." + std::to_string(...).
    std::string text = "%";
    text += flags;
    if (forC && conversion == 'X') text += '0';
    if (width == LITERAL) text += std::to_string(widthValue);
    if (width == STAR) text += '*';
    if (precision != NONE) text += '.';
    if (precision == LITERAL) text += std::to_string(precisionValue);
    if (precision == STAR) text += '*';
    if (isLong) text += forC ? "ll" : "l";
    text += conversion;
    return text;
  }
};

uint64_t GenerateValue(SplitMix64& random, bool isLong) {
  static const uint64_t edges[] = {0,
                                   1,
                                   9,
                                   10,
                                   42,
                                   999,
                                   1000,
                                   0x7FFFFFFF,
                                   0x80000000,
                                   0xFFFFFFFE,
                                   0xFFFFFFFF,
                                   0x100000000,
                                   0x7FFFFFFFFFFFFFFF,
                                   0x8000000000000000,
                                   0xFFFFFFFFFFFFFFFF,
                                   10000000000000000000u};
  const uint64_t value = random.Below(4) == 0 ? edges[random.Below(std::size(edges))]
                                              : random.Next() >> random.Below(64);
  return isLong ? value : (random.Below(2) == 0 ? value & 0xFFFFFFFF : (0 - value) & 0xFFFFFFFF);
}

Directive GenerateDirective(SplitMix64& random) {
  static const char conversions[] = {'d', 'u', 'x', 'X'};
  Directive d;
  d.conversion = conversions[random.Below(4)];
  const bool hex = d.conversion == 'x' || d.conversion == 'X';
  for (uint32_t n = random.Below(5); n > 0; --n) {
    const char flag = "-+ 0"[random.Below(4)];
    if (hex && (flag == '+' || flag == ' ')) continue;  // left out: see the top
    if (d.conversion == 'u' && flag == ' ') continue;   // left out: see the top
    d.flags += flag;
  }
  switch (random.Below(20)) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6:
      d.width = Directive::NONE;
      break;
    case 7: case 8: case 9: case 10:
      d.width = Directive::STAR;
      d.widthValue = static_cast<int32_t>(random.Below(31));  // never negative: see the top
      break;
    default:
      d.width = Directive::LITERAL;
      d.widthValue = static_cast<int32_t>(1 + random.Below(30));
      break;
  }
  switch (random.Below(10)) {
    case 0: case 1: case 2: case 3:
      d.precision = Directive::NONE;
      break;
    case 4: case 5:
      d.precision = Directive::STAR;
      d.precisionValue = static_cast<int32_t>(random.Below(26));
      break;
    default:
      d.precision = Directive::LITERAL;  // always with digits: see the top
      d.precisionValue = static_cast<int32_t>(random.Below(26));
      break;
  }
  d.isLong = random.Below(10) < 3;
  d.value = GenerateValue(random, d.isLong);
  return d;
}

// Calls `f` with the directive's arguments, typed as C reads them.
template <typename F>
void WithArguments(const Directive& d, F&& f) {
  const auto withValue = [&](auto... lead) {
    if (d.isLong && d.conversion == 'd') {
      f(lead..., static_cast<long long>(d.value));
    } else if (d.isLong) {
      f(lead..., static_cast<unsigned long long>(d.value));
    } else if (d.conversion == 'd') {
      f(lead..., static_cast<int>(static_cast<uint32_t>(d.value)));
    } else {
      f(lead..., static_cast<unsigned>(d.value));
    }
  };
  const bool starWidth = d.width == Directive::STAR;
  const bool starPrecision = d.precision == Directive::STAR;
  if (starWidth && starPrecision) {
    withValue(d.widthValue, d.precisionValue);
  } else if (starWidth) {
    withValue(d.widthValue);
  } else if (starPrecision) {
    withValue(d.precisionValue);
  } else {
    withValue();
  }
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

TEST(PrintDifferential, AgreesWithSnprintfOnTheCommonSubset) {
  SplitMix64 random{20260107};
  constexpr int CASES = 30000;
  static const char literals[] = "<>[]|=:ab_";
  int compared = 0;
  for (int i = 0; i < CASES; ++i) {
    const Directive d = GenerateDirective(random);
    const std::string before(1, literals[random.Below(sizeof literals - 1)]);
    const std::string after(1, literals[random.Below(sizeof literals - 1)]);
    const std::string ours = before + d.Text(false) + after;
    const std::string theirs = before + d.Text(true) + after;

    char ourText[256];
    char theirText[256];
    uint32_t ourResult = 0;
    uint32_t measured = 0;
    int theirResult = 0;
    WithArguments(d, [&](auto... args) {
      ourResult = PrintToBuffer(ourText, sizeof ourText, ours.c_str(), args...);
      measured = PrintToBufferWithFlags(nullptr, 0, PF_MEASURE_ONLY, ours.c_str(), args...);
      theirResult = std::snprintf(theirText, sizeof theirText, theirs.c_str(), args...);
    });
    ASSERT_GE(theirResult, 0);
    ASSERT_LT(theirResult, 256);

    const bool hex = d.conversion == 'x' || d.conversion == 'X';
    const std::string got = hex ? Upper(ourText) : std::string(ourText);
    const std::string expected = hex ? Upper(theirText) : std::string(theirText);
    ASSERT_EQ(Escaped(got), Escaped(expected))
        << "engine format \"" << ours << "\", C format \"" << theirs << "\", value " << d.value;
    ASSERT_EQ(ourResult, static_cast<uint32_t>(theirResult)) << ours;
    ASSERT_EQ(measured, ourResult) << ours;
    ++compared;
  }
  EXPECT_EQ(compared, CASES);
}

}  // namespace
