// Bounded output: whatever the format, arguments and size, the engine stores
// exactly a prefix of the full text and one terminator, and never anything at
// or past buffer + size characters. RunGuarded checks every run against a
// guard region of sentinel bytes after the buffer.
#include <gtest/gtest-spi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/print/print_test_support.h"

namespace {

using print_test::Bind;
using print_test::Escaped;
using print_test::Measure;
using print_test::PrintCall;
using print_test::RunGuarded;
using print_test::SplitMix64;

const EFI_GUID GUID = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const EFI_TIME TIME = {1999, 1, 31, 23, 59, 0, 0, 0, 0, 0, 0};
const char16_t WIDE[] = u"w\u0434de";

struct SweepRow {
  const char* name;
  PrintCall call;
};

// Formats for the sweep: every kind of element, line ends that can be split,
// padding on both sides, grouping, nested renderings.
std::vector<SweepRow> SweepRows() {
  return {
      {"literal", Bind("abcdefgh")},
      {"trace line", Bind("TraceHub : POSTCODE=<%02x>\n\r", 0x8Fu)},
      {"numbers", Bind("%5d|%-5d|%05d|%+d|% d|%d", 42, 42, 42, 42, 42, -42)},
      {"grouping", Bind("%,d;%,ld;%+,d", 1234567, int64_t{-9223372036854775807}, 1000)},
      {"hex and pointer", Bind("%8x.%-8X.%08p.%lx", 255, 255, reinterpret_cast<void*>(0x1234),
                               uint64_t{0xFEDCBA9876543210})},
      {"texts", Bind("[%a][%.2a][%-6a][%6s][%S]", "abc", "xyz", "ab", WIDE, WIDE)},
      {"characters", Bind("%c%3c%-3c|", uint32_t{'A'}, 0u, 0x4142u)},
      {"guid and time", Bind("%g / %t / %.8g", &GUID, &TIME, &GUID)},
      {"status", Bind("%r, %r, %12r, %-12r|", 0u, 0x8000001Bu, 6u, 0x80000022u)},
      {"line ends", Bind("a\nb\r\nc\n\rd\re\n\n")},
      {"directive at end", Bind("abc%-7")},
      {"star", Bind("%*d|%-*d|%.*d", 7, 1, 7, 2, 5, 3)},
  };
}

// For every size from 0 to the full length + 2, in 8-bit and 16-bit output:
// exactly the prefix of size - 1 characters (all of it when it fits), and the
// result is its length.
TEST(PrintBounds, TruncationSweepStoresExactlyThePrefix) {
  for (const SweepRow& row : SweepRows()) {
    SCOPED_TRACE(row.name);
    const uint32_t full = Measure(row.call);
    const std::string whole = RunGuarded<char>(row.call, full + 1, 0).text;
    ASSERT_EQ(whole.size(), full);
    const std::u16string whole16 = RunGuarded<char16_t>(row.call, full + 1, PF_OUT_16BIT).text;
    ASSERT_EQ(whole16.size(), full);
    ASSERT_EQ(Measure(row.call, PF_OUT_16BIT), full);
    for (uint32_t size = 0; size <= full + 2; ++size) {
      SCOPED_TRACE(size);
      const uint32_t kept = size == 0 ? 0 : std::min(size - 1, full);
      const auto narrow = RunGuarded<char>(row.call, size, 0);
      EXPECT_EQ(narrow.result, kept);
      EXPECT_EQ(Escaped(narrow.text), Escaped(whole.substr(0, kept)));
      const auto wide = RunGuarded<char16_t>(row.call, size, PF_OUT_16BIT);
      EXPECT_EQ(wide.result, kept);
      EXPECT_EQ(wide.text, whole16.substr(0, kept));
      if (testing::Test::HasFailure()) return;  // one size's report is enough
    }
  }
}

// Widths and precisions far beyond the buffer, from the format and from '*'.
// In storing mode the buffer is filled and cut; in measuring mode counts
// below zero (as signed 32-bit) add nothing and the total is held at
// 0xFFFFFFFF rather than wrapping.
TEST(PrintBounds, HugeWidthsAndPrecisions) {
  struct Row {
    const char* name;
    PrintCall call;
    std::string stored16;  // stored into 16 characters
    uint32_t measured;
  };
  const std::string blanks15(15, ' ');
  const std::vector<Row> rows = {
      {"%*d INT32_MAX", Bind("%*d", INT32_MAX, 42), blanks15, 0x7FFFFFFFu},
      {"%2147483647d", Bind("%2147483647d", 42), blanks15, 0x7FFFFFFFu},
      {"%-*d INT32_MAX", Bind("%-*d", INT32_MAX, 42), "42" + std::string(13, ' '), 0x7FFFFFFFu},
      {"%0*d INT32_MAX", Bind("%0*d", INT32_MAX, 42), std::string(15, '0'), 0x7FFFFFFFu},
      // Width 2^31 less the text: 2^31 - 2 blanks, still positive.
      {"%*d INT32_MIN", Bind("%*d", INT32_MIN, 42), blanks15, 0x80000000u},
      // Width 2^31 + 5: width - precision passes 2^31, negative as signed 32-bit.
      {"%*d INT32_MIN + 5", Bind("%*d", INT32_MIN + 5, 42), "42", 2},
      {"%*a -1", Bind("%*a", -1, "abc"), "abc", 3},
      // Precision 2^31 from '*': 2^31 - 2 zeros, below 2^31 so they count.
      {"%.*d INT32_MIN", Bind("%.*d", INT32_MIN, 42), std::string(15, '0'), 0x80000000u},
      // Precision 2^32 - 1: precision - length is negative; with a prefix the
      // precision grows by one and wraps to 0, so the text stands alone.
      {"%.*d -1", Bind("%.*d", -1, 42), "42", 2},
      {"%+.*d -1", Bind("%+.*d", -1, 42), "+42", 3},
      {"%.*a INT32_MIN", Bind("%.*a", INT32_MIN, "abc"), blanks15, 0x80000000u},
      {"%.*a -1", Bind("%.*a", -1, "abc"), "abc", 3},
      {"%.2147483648a", Bind("%.2147483648a", "abc"), blanks15, 0x80000000u},
      // A digit run past 32 bits keeps its value modulo 2^32: 4294967297 is 1.
      {"%4294967297d", Bind("%4294967297d", 42), "42", 2},
      {"%4294967295d", Bind("%4294967295d", 42), "42", 2},
      // Three widths of 2^31 - 1 pass 2^32: the count stops at 0xFFFFFFFF.
      {"three INT32_MAX widths", Bind("%*d%*d%*d", INT32_MAX, 1, INT32_MAX, 2, INT32_MAX, 3),
       blanks15, 0xFFFFFFFFu},
      {"many widths then text", Bind("%*c%*c%*c%*cabc", INT32_MAX, 'a', INT32_MAX, 'b', INT32_MAX, 'c',
                                     INT32_MAX, 'd'),
       blanks15, 0xFFFFFFFFu},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto stored = RunGuarded<char>(row.call, 16, 0);
    EXPECT_EQ(Escaped(stored.text), Escaped(row.stored16));
    const auto wide = RunGuarded<char16_t>(row.call, 16, PF_OUT_16BIT);
    EXPECT_EQ(wide.result, row.stored16.size());
    EXPECT_EQ(Measure(row.call), row.measured);
  }
}

// A size near 2^32 with short output: the output end is computed without
// wrapping, and only the text and the terminator are stored.
TEST(PrintBounds, LargeSizeWithShortOutput) {
  std::vector<uint8_t> memory(64, print_test::SENTINEL);
  EXPECT_EQ(PrintToBuffer(reinterpret_cast<char*>(memory.data()), 0xFFFFFFFFu, "%d!", 12345), 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(memory.data())), "12345!");
  for (size_t i = 7; i < memory.size(); ++i) EXPECT_EQ(memory[i], print_test::SENTINEL) << i;
}

// Random formats drawn from the characters that mean something to the engine.
// Every argument slot holds a pointer (absent in every fifth slot) to one
// record that reads as an 8-bit text, a 16-bit text, a GUID and a time; an
// integer conversion or '*' reads the pointer's bits (every variadic slot is
// 8 bytes in the x86-64 host ABI), which gives widths and precisions of every
// size. For every format and size: the guard holds, the
// stored text is a prefix of the text stored with a large size, and measuring
// agrees with storing.
TEST(PrintBounds, RandomFormatsStayInBounds) {
  alignas(8) static const uint8_t record[24] = {'H', 'i', '!', 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
  const void* a[48];
  for (int i = 0; i < 48; ++i) a[i] = i % 5 == 3 ? nullptr : record;
  const auto call = [&](const void* format) {
    return [&a, format](void* buffer, uint32_t size, uint32_t flags) {
      return PrintToBufferWithFlags(
          buffer, size, flags, format, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
          a[10], a[11], a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19], a[20], a[21],
          a[22], a[23], a[24], a[25], a[26], a[27], a[28], a[29], a[30], a[31], a[32], a[33],
          a[34], a[35], a[36], a[37], a[38], a[39], a[40], a[41], a[42], a[43], a[44], a[45],
          a[46], a[47]);
    };
  };
  static const char alphabet[] = "%%%%%-+ ,0123456789..**lLduxXpcasSgtrq#\n\r\n\rab";
  constexpr uint32_t LARGE = 4096;
  SplitMix64 random{0x5EED0F1A5Bu};
  int cases = 0;
  for (int round = 0; round < 1500; ++round) {
    // At most 40 format characters, so at most 40 arguments are read.
    std::string format;
    const uint32_t length = random.Below(40);
    for (uint32_t i = 0; i < length; ++i) format += alphabet[random.Below(sizeof alphabet - 1)];
    std::u16string format16(format.begin(), format.end());
    if (!format16.empty() && random.Below(4) == 0) format16[random.Below(format16.size())] = 0x0125;
    SCOPED_TRACE(Escaped(format));

    for (uint32_t flags : {0u, PF_OUT_16BIT, PF_FMT_16BIT, PF_FMT_16BIT | PF_OUT_16BIT}) {
      SCOPED_TRACE(flags);
      const void* f = (flags & PF_FMT_16BIT) != 0 ? static_cast<const void*>(format16.c_str())
                                                  : static_cast<const void*>(format.c_str());
      const PrintCall print = call(f);
      const uint32_t measured = Measure(print, flags);
      const uint32_t size = random.Below(48);
      if ((flags & PF_OUT_16BIT) != 0) {
        const auto large = RunGuarded<char16_t>(print, LARGE, flags);
        EXPECT_EQ(large.result, std::min(measured, LARGE - 1));
        const auto small = RunGuarded<char16_t>(print, size, flags);
        EXPECT_EQ(small.text, large.text.substr(0, small.text.size()));
        EXPECT_EQ(small.result, size == 0 ? 0 : std::min(size - 1, large.result));
      } else {
        const auto large = RunGuarded<char>(print, LARGE, flags);
        EXPECT_EQ(large.result, std::min(measured, LARGE - 1));
        const auto small = RunGuarded<char>(print, size, flags);
        EXPECT_EQ(small.text, large.text.substr(0, small.text.size()));
        EXPECT_EQ(small.result, size == 0 ? 0 : std::min(size - 1, large.result));
      }
      ++cases;
      if (testing::Test::HasFailure()) return;
    }
  }
  EXPECT_EQ(cases, 6000);
}

// The guard check itself catches a store past the size, and a missing
// terminator.
TEST(PrintBounds, GuardCatchesStoresPastTheSize) {
  const PrintCall overrun = [](void* buffer, uint32_t size, uint32_t) -> uint32_t {
    static_cast<char*>(buffer)[size] = 'x';
    static_cast<char*>(buffer)[0] = 0;
    return 0;
  };
  EXPECT_NONFATAL_FAILURE(RunGuarded<char>(overrun, 8, 0), "changed");
  const PrintCall unterminated = [](void* buffer, uint32_t, uint32_t) -> uint32_t {
    static_cast<char*>(buffer)[0] = 'a';
    return 1;
  };
  EXPECT_NONFATAL_FAILURE(RunGuarded<char>(unterminated, 8, 0), "terminator");
}

}  // namespace
