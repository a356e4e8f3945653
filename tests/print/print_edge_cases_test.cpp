// The engine's edge cases, as tables of (format, arguments, size,
// flags) -> characters stored, result. Every storing row with size 200 is also
// run in measuring mode, and with every flag bit except the three caller bits
// set, which must change nothing. Rows marked "derived" check consequences of
// the documented rules beyond the headline cases.
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

constexpr uint32_t SIZE = 200;
// Every bit of the flags word but the caller bits: must be ignored.
constexpr uint32_t NOISE_FLAGS = ~PF_CALLER_FLAGS;

// dba6a7e3-bb57-4be7-8af8-d578db7e5687, the TSC frequency HOB's GUID.
const EFI_GUID TSC_GUID = {0xDBA6A7E3, 0xBB57, 0x4BE7, {0x8A, 0xF8, 0xD5, 0x78, 0xDB, 0x7E, 0x56, 0x87}};
const EFI_TIME TIME = {2026, 12, 7, 6, 5, 4, 0, 0, 0, 0, 0};
const char16_t WIDE_HI[] = u"hi\u0141";  // 'h', 'i', U+0141
const char* const NO_TEXT = nullptr;
const EFI_GUID* const NO_GUID = nullptr;
const EFI_TIME* const NO_TIME = nullptr;

void* Pointer(uintptr_t value) { return reinterpret_cast<void*>(value); }

struct Row {
  const char* name;
  PrintCall call;
  std::string expected;
};

// Storing with size 200 gives `expected`; measuring gives its length; the
// noise flags change neither.
void CheckRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto stored = RunGuarded<char>(row.call, SIZE, 0);
    EXPECT_EQ(Escaped(stored.text), Escaped(row.expected));
    EXPECT_EQ(stored.result, row.expected.size());
    EXPECT_EQ(Measure(row.call), row.expected.size()) << "measuring mode";
    const auto noisy = RunGuarded<char>(row.call, SIZE, NOISE_FLAGS & ~PF_OUT_16BIT);
    EXPECT_EQ(Escaped(noisy.text), Escaped(row.expected)) << "with the non-caller flag bits set";
  }
}

TEST(PrintEdgeCases, FailureTraceLine) {
  // As on the failure path: the buffer starts as an empty string, the other
  // bytes not cleared.
  uint8_t buffer[200];
  std::memset(buffer, print_test::SENTINEL, sizeof buffer);
  buffer[0] = 0;
  const uint32_t result = PrintToBuffer(reinterpret_cast<char*>(buffer), 200,
                                        "TraceHub : POSTCODE=<%02x>\n\r", uint32_t{0x8F});
  const uint8_t expected[27] = {0x54, 0x72, 0x61, 0x63, 0x65, 0x48, 0x75, 0x62, 0x20,
                                0x3A, 0x20, 0x50, 0x4F, 0x53, 0x54, 0x43, 0x4F, 0x44,
                                0x45, 0x3D, 0x3C, 0x38, 0x46, 0x3E, 0x0D, 0x0A, 0x00};
  EXPECT_EQ(result, 26u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 27), std::vector<uint8_t>(expected, expected + 27));
  for (size_t i = 27; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], print_test::SENTINEL) << i;
}

TEST(PrintEdgeCases, Decimal) {
  CheckRows({
      {"%5d|%-5d|%05d|%+d|% d|%d", Bind("%5d|%-5d|%05d|%+d|% d|%d", 42, 42, 42, 42, 42, -42),
       "   42|42   |00042|+42| 42|-42"},
      {"%05d -42", Bind("%05d", -42), "-0042"},
      {"%+05d 42", Bind("%+05d", 42), "+0042"},
      {"%5d -42", Bind("%5d", -42), "  -42"},
      {"%5.3d 42", Bind("%5.3d", 42), "  042"},
      {"%05.3d 42", Bind("%05.3d", 42), "  042"},
      {"%.5d 42", Bind("%.5d", 42), "00042"},
      {"%u 0xFFFFFFFF", Bind("%u", 0xFFFFFFFFu), "4294967295"},
      {"%d 0xFFFFFFFF", Bind("%d", 0xFFFFFFFFu), "-1"},
      {"%d 0x80000000", Bind("%d", 0x80000000u), "-2147483648"},
      {"%+u 5", Bind("%+u", 5u), "5"},
      {"% u 5", Bind("% u", 5u), " 5"},
      {"%.0d 0", Bind("%.0d", 0), ""},
      {"%.d 0", Bind("%.d", 0), "0"},
      {"%+.0d 0", Bind("%+.0d", 0), "+"},
      {"%0d 5", Bind("%0d", 5), "5"},
      {"%5.3-d 4 (flags after the precision)", Bind("%5.3-d", 4), "004  "},
      {"%.3-5d 4 (every digit run after '.' is the precision)", Bind("%.3-5d", 4), "00004"},
      {"% +d 7 (derived: '+' wins over ' ')", Bind("% +d", 7), "+7"},
      {"%-05d 42 (derived: '-' disables zero-fill)", Bind("%-05d", 42), "42   "},
      {"%5.0d 0 (derived)", Bind("%5.0d", 0), "     "},
  });
}

TEST(PrintEdgeCases, SixtyFourBit) {
  CheckRows({
      {"%ld -5", Bind("%ld", int64_t{-5}), "-5"},
      {"%lu all bits", Bind("%lu", ~uint64_t{0}), "18446744073709551615"},
      {"%lx", Bind("%lx", uint64_t{0x123456789ABCDEF0}), "123456789ABCDEF0"},
      {"%,ld INT64_MAX", Bind("%,ld", int64_t{0x7FFFFFFFFFFFFFFF}), "9,223,372,036,854,775,807"},
      {"%Ld INT64_MIN (derived)", Bind("%Ld", INT64_MIN), "-9223372036854775808"},
      {"%lX 0 (derived)", Bind("%lX", uint64_t{0}), "0"},
  });
}

TEST(PrintEdgeCases, Hexadecimal) {
  CheckRows({
      {"%x 255", Bind("%x", 255), "FF"},
      {"%8x 255", Bind("%8x", 255), "      FF"},
      {"%8X 255", Bind("%8X", 255), "000000FF"},
      {"%-8X 255", Bind("%-8X", 255), "FF      "},
      {"%08x 255", Bind("%08x", 255), "000000FF"},
      {"%.4X 255", Bind("%.4X", 255), "00FF"},
      {"%x 0xFFFFFFFF", Bind("%x", 0xFFFFFFFFu), "FFFFFFFF"},
      {"%+x 255", Bind("%+x", 255), "+FF"},
      {"% x 255", Bind("% x", 255), " FF"},
      {"%,x 0x12345", Bind("%,x", 0x12345), "12345"},
      {"%#x", Bind("%#x"), "#x"},
      {"%p 0x1234", Bind("%p", Pointer(0x1234)), "1234"},
      {"%08p 0x1234", Bind("%08p", Pointer(0x1234)), "00001234"},
      {"%+p 255", Bind("%+p", Pointer(255)), "FF"},
  });
}

TEST(PrintEdgeCases, Grouping) {
  CheckRows({
      {"%,d 1234567", Bind("%,d", 1234567), "1,234,567"},
      {"%,d -1234", Bind("%,d", -1234), "-1,234"},
      {"%,d 0", Bind("%,d", 0), "0"},
      {"%,d 100", Bind("%,d", 100), "100"},
      {"%,d 1000", Bind("%,d", 1000), "1,000"},
      {"%,08d 1234", Bind("%,08d", 1234), "   1,234"},
      {"%,.6d 12", Bind("%,.6d", 12), "12"},
      {"%,u 4294967295 (derived)", Bind("%,u", 0xFFFFFFFFu), "4,294,967,295"},
      {"%+,d 123456 (derived)", Bind("%+,d", 123456), "+123,456"},
      {"%-10,d 12345 (derived)", Bind("%-10,d", 12345), "12,345    "},
  });
}

TEST(PrintEdgeCases, StarArguments) {
  CheckRows({
      {"%*d 6 42", Bind("%*d", 6, 42), "    42"},
      {"%.*d 4 42", Bind("%.*d", 4, 42), "0042"},
      {"%-*d 6 42", Bind("%-*d", 6, 42), "42    "},
      {"%*d -5 42", Bind("%*d", -5, 42), "42"},
      {"%*.*a 5 2 (derived)", Bind("%*.*a", 5, 2, "abc"), "   ab"},
  });
}

TEST(PrintEdgeCases, Characters) {
  CheckRows({
      {"%c 'A'", Bind("%c", uint32_t{'A'}), "A"},
      {"%c 0", Bind("%c", 0u), " "},
      {"%3c 'B'", Bind("%3c", uint32_t{'B'}), "  B"},
      {"%c 0x4142", Bind("%c", 0x4142u), "B"},
      {"%.0c 'A' (derived)", Bind("%.0c", uint32_t{'A'}), ""},
  });
}

TEST(PrintEdgeCases, Texts) {
  CheckRows({
      {"%a abc", Bind("%a", "abc"), "abc"},
      {"%.2a abc", Bind("%.2a", "abc"), "ab"},
      {"%.a abc", Bind("%.a", "abc"), "a"},
      {"%.5a ab", Bind("%.5a", "ab"), "   ab"},
      {"%05a ab", Bind("%05a", "ab"), "   ab"},
      {"%-5a ab", Bind("%-5a", "ab"), "ab   "},
      {"%a absent", Bind("%a", NO_TEXT), "<null string>"},
      {"%s hi U+0141", Bind("%s", WIDE_HI), "hiA"},
      {"%S hi U+0141", Bind("%S", WIDE_HI), "hiA"},
      {"%s absent", Bind("%s", NO_TEXT), "<null string>"},
      {"%.4s absent (derived)", Bind("%.4s", NO_TEXT), "<nul"},
      {"%3a| abcdef (not cut)", Bind("%3a|", "abcdef"), "abcdef|"},
      {"%a empty (derived)", Bind("%a", ""), ""},
  });
}

TEST(PrintEdgeCases, GuidsAndTimes) {
  CheckRows({
      {"%g", Bind("%g", &TSC_GUID), "DBA6A7E3-BB57-4BE7-8AF8-D578DB7E5687"},
      {"%.8g", Bind("%.8g", &TSC_GUID), "DBA6A7E3"},
      {"%40g", Bind("%40g", &TSC_GUID), "    DBA6A7E3-BB57-4BE7-8AF8-D578DB7E5687"},
      {"%g absent", Bind("%g", NO_GUID), "<null guid>"},
      {"%t", Bind("%t", &TIME), "12/07/2026  06:05"},
      {"%t absent", Bind("%t", NO_TIME), "<null time>"},
      {"%g then %d (derived: the nested call leaves the outer arguments in order)",
       Bind("%g %d %t %d", &TSC_GUID, 7, &TIME, 8),
       "DBA6A7E3-BB57-4BE7-8AF8-D578DB7E5687 7 12/07/2026  06:05 8"},
  });
}

TEST(PrintEdgeCases, StatusNames) {
  CheckRows({
      {"%r 0", Bind("%r", 0u), "Success"},
      {"%r 5", Bind("%r", 5u), "Warning Stale Data"},
      {"%r 6", Bind("%r", 6u), "00000006"},
      {"%r 0x80000001", Bind("%r", 0x80000001u), "Load Error"},
      {"%r 0x80000021", Bind("%r", 0x80000021u), "Compromised Data"},
      {"%r 0x80000022", Bind("%r", 0x80000022u), "80000022"},
      {"%r 0x80000000", Bind("%r", 0x80000000u), "80000000"},
      {"%r 0x7FFFFFFF", Bind("%r", 0x7FFFFFFFu), "7FFFFFFF"},
      {"%10r 0x8000000E", Bind("%10r", 0x8000000Eu), " Not Found"},
      {"%r EFI_CRC_ERROR (derived)", Bind("%r", EFI_CRC_ERROR), "CRC Error"},
  });
}

TEST(PrintEdgeCases, OtherConversionCharacters) {
  CheckRows({
      {"%q", Bind("%q"), "q"},
      {"%%", Bind("%%"), "%"},
      {"%5q", Bind("%5q"), "    q"},
      {"%-3%", Bind("%-3%"), "%  "},
      {"%.0q", Bind("%.0q"), ""},
      {"abc%", Bind("abc%"), "abc"},
      {"abc%-5", Bind("abc%-5"), "abc     "},
      {"abc%5. (derived)", Bind("abc%5."), "abc     "},
      {"empty format", Bind(""), ""},
  });
}

TEST(PrintEdgeCases, LineEnds) {
  CheckRows({
      {"a\\nb", Bind("a\nb"), "a\r\nb"},
      {"a\\n\\rb", Bind("a\n\rb"), "a\r\nb"},
      {"a\\r\\nb", Bind("a\r\nb"), "a\r\nb"},
      {"a\\rb", Bind("a\rb"), "a\rb"},
      {"a\\n\\nb", Bind("a\n\nb"), "a\r\n\r\nb"},
      {"a\\r\\rb", Bind("a\r\rb"), "a\r\rb"},
      {"ab\\n", Bind("ab\n"), "ab\r\n"},
      {"\\n\\r\\n (derived)", Bind("\n\r\n"), "\r\n\r\n"},
      {"%\\n\\rx (derived: a line end as conversion)", Bind("%\n\rx"), "\r\nx"},
      {"%4\\rx (derived)", Bind("%4\rx"), "   \rx"},
      {"%-4\\r\\nx (derived)", Bind("%-4\r\nx"), "\r\n  x"},
  });
}

// Storing with a small size: the text is cut at size - 1 characters.
TEST(PrintEdgeCases, Truncation) {
  struct TruncationRow {
    const char* name;
    PrintCall call;
    uint32_t size;
    std::string expected;
  };
  const std::vector<TruncationRow> rows = {
      {"abcdefgh size 9", Bind("abcdefgh"), 9, "abcdefgh"},
      {"abcdefgh size 8", Bind("abcdefgh"), 8, "abcdefg"},
      {"abcdefgh size 5", Bind("abcdefgh"), 5, "abcd"},
      {"abcdefgh size 1", Bind("abcdefgh"), 1, ""},
      {"%8d 1 size 4", Bind("%8d", 1), 4, "   "},
      {"ab\\ncd size 4", Bind("ab\ncd"), 4, "ab\r"},
      {"%,d 1234567 size 4", Bind("%,d", 1234567), 4, "1,2"},
      {"%g size 10 (derived)", Bind("%g", &TSC_GUID), 10, "DBA6A7E3-"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto stored = RunGuarded<char>(row.call, row.size, 0);
    EXPECT_EQ(Escaped(stored.text), Escaped(row.expected));
    EXPECT_EQ(stored.result, row.expected.size());
  }
  // Size 0 stores nothing, not even the terminator (RunGuarded checks that).
  EXPECT_EQ(RunGuarded<char>(Bind("abcdefgh"), 0, 0).result, 0u);
  EXPECT_EQ(PrintToBuffer(nullptr, 0, "abc"), 0u);
}

TEST(PrintEdgeCases, AbsentBufferStoresNothingAndReturnsZero) {
  EXPECT_EQ(PrintToBuffer(nullptr, 200, "abc%d", 5), 0u);
  EXPECT_EQ(PrintToBufferWithFlags(nullptr, 200, PF_OUT_16BIT, "abc"), 0u);
}

TEST(PrintEdgeCases, MeasuringMode) {
  const PrintCall call = Bind("abc%5d\n", 42);
  EXPECT_EQ(Measure(call), 10u);
  // Whatever the size and buffer: the buffer is never touched.
  for (uint32_t size : {0u, 1u, 5u, 200u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(size);
    char buffer[8];
    std::memset(buffer, print_test::SENTINEL, sizeof buffer);
    EXPECT_EQ(call(buffer, size, PF_MEASURE_ONLY), 10u);
    for (char c : buffer) EXPECT_EQ(static_cast<uint8_t>(c), print_test::SENTINEL);
    EXPECT_EQ(call(nullptr, size, PF_MEASURE_ONLY), 10u);
  }
  EXPECT_EQ(Measure(Bind("%3a|", "abcdef")), 7u);
  EXPECT_EQ(Measure(Bind("%-3a|", "abcdef")), 7u);
  EXPECT_EQ(RunGuarded<char>(Bind("%-3a|", "abcdef"), SIZE, 0).result, 7u);
  // 16-bit output counts characters, not bytes.
  EXPECT_EQ(Measure(Bind("abc%5d\n", 42), PF_OUT_16BIT), 10u);
  // A negative count adds nothing.
  EXPECT_EQ(Measure(Bind("%*d", -5, 42)), 2u);
}

TEST(PrintEdgeCases, SixteenBitOutput) {
  const auto stored = RunGuarded<char16_t>(Bind("ab%d\n", 42), SIZE, PF_OUT_16BIT);
  EXPECT_EQ(stored.text, std::u16string(u"ab42\r\n"));
  EXPECT_EQ(stored.result, 6u);

  const auto cut = RunGuarded<char16_t>(Bind("abcdef"), 4, PF_OUT_16BIT);
  EXPECT_EQ(cut.text, std::u16string(u"abc"));
  EXPECT_EQ(cut.result, 3u);

  // Derived: 8-bit texts widen, 16-bit texts stay whole.
  const auto texts = RunGuarded<char16_t>(Bind("%a|%s|%c|%g", "xy", WIDE_HI, 0x263Au, &TSC_GUID),
                                          SIZE, PF_OUT_16BIT);
  EXPECT_EQ(texts.text, std::u16string(u"xy|hi\u0141|\u263A|DBA6A7E3-BB57-4BE7-8AF8-D578DB7E5687"));
}

TEST(PrintEdgeCases, SixteenBitFormat) {
  const char16_t format[] = {'a', '%', 'd', 'Z', '\n', 0};
  const auto narrow = RunGuarded<char>(Bind(format, 7), SIZE, PF_FMT_16BIT);
  EXPECT_EQ(Escaped(narrow.text), Escaped("a7Z\r\n"));
  EXPECT_EQ(narrow.result, 5u);

  const auto wide = RunGuarded<char16_t>(Bind(format, 7), SIZE, PF_FMT_16BIT | PF_OUT_16BIT);
  EXPECT_EQ(wide.text, std::u16string(u"a7Z\r\n"));

  // Format characters above 0xFF are stored whole in 16-bit output and keep
  // their low byte in 8-bit output; a unit whose low byte is '%' is not '%'.
  const char16_t high[] = {0x0141, 0x0125, 'd', '%', 0x0171, 0};
  const auto highWide = RunGuarded<char16_t>(Bind(high), SIZE, PF_FMT_16BIT | PF_OUT_16BIT);
  EXPECT_EQ(highWide.text, std::u16string({0x0141, 0x0125, 'd', 0x0171}));
  const auto highNarrow = RunGuarded<char>(Bind(high), SIZE, PF_FMT_16BIT);
  EXPECT_EQ(Escaped(highNarrow.text), Escaped("A%dq"));
  EXPECT_EQ(Measure(Bind(high), PF_FMT_16BIT), 4u);
}

}  // namespace
