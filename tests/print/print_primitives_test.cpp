// The engine's building blocks: ToDigitsReversed, FillCharacters and the
// status name table.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/print/print_test_support.h"

namespace {

// The digits ToDigitsReversed left in the scratch area, most significant
// first, after checking the zero byte in front of them and that nothing past
// the last digit was touched.
std::string DigitsOf(uint32_t radix, uint64_t value) {
  char scratch[SCRATCH_TEXT_SIZE];
  std::memset(scratch, 0x5A, sizeof scratch);
  const char* last = ToDigitsReversed(scratch, radix, value);
  EXPECT_EQ(scratch[0], 0);
  EXPECT_GE(last, scratch + 1);
  EXPECT_LE(last, scratch + 20);
  for (const char* p = last + 1; p < scratch + sizeof scratch; ++p) EXPECT_EQ(*p, 0x5A);
  std::string digits;
  for (const char* p = last; p > scratch; --p) digits += *p;
  return digits;
}

// The host's own 64-bit division, as the oracle.
std::string Reference(uint32_t radix, uint64_t value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789ABCDEF"[value % radix]);
    value /= radix;
  } while (value != 0);
  return digits;
}

TEST(ToDigitsReversed, KnownValues) {
  struct Row {
    uint32_t radix;
    uint64_t value;
    const char* digits;
  };
  const Row rows[] = {
      {10, 0, "0"},
      {16, 0, "0"},
      {10, 7, "7"},
      {10, 10, "10"},
      {16, 255, "FF"},
      {10, 0xFFFFFFFFu, "4294967295"},
      {10, 0x100000000u, "4294967296"},
      {16, 0x100000000u, "100000000"},
      {10, 10000000000000000000u, "10000000000000000000"},
      {10, ~uint64_t{0}, "18446744073709551615"},  // the 20 digits of the longest number
      {16, ~uint64_t{0}, "FFFFFFFFFFFFFFFF"},
      {16, 0x123456789ABCDEF0, "123456789ABCDEF0"},
      {10, 0x8000000000000000u, "9223372036854775808"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.digits);
    EXPECT_EQ(DigitsOf(row.radix, row.value), row.digits);
  }
}

// Values of every bit length, where the carried remainders of the 32-bit
// division steps take every path.
TEST(ToDigitsReversed, AgreesWithHostDivision) {
  uint64_t state = 0x0123456789ABCDEFu;
  for (int i = 0; i < 20000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;  // Knuth's MMIX LCG
    const uint64_t value = state >> (state % 64);
    for (uint32_t radix : {10u, 16u}) {
      ASSERT_EQ(DigitsOf(radix, value), Reference(radix, value)) << value << " radix " << radix;
    }
  }
}

TEST(ToDigitsReversed, AnyOtherRadixIsTakenAsTen) {
  EXPECT_EQ(DigitsOf(0, 1234), "1234");
  EXPECT_EQ(DigitsOf(8, 1234), "1234");
}

TEST(FillCharacters, StoresOnlyBelowTheEnd) {
  struct Row {
    const char* name;
    int32_t count;
    uint32_t room;  // bytes between cursor and end
    uint32_t characterSize;
    std::vector<uint8_t> stored;
  };
  const Row rows[] = {
      {"count 0", 0, 8, 1, {}},
      {"count -1", -1, 8, 1, {}},
      {"INT32_MIN", INT32_MIN, 8, 1, {}},
      {"three 8-bit", 3, 8, 1, {0x41, 0x41, 0x41}},
      {"cut at the end", 5, 3, 1, {0x41, 0x41, 0x41}},
      {"INT32_MAX cut at the end", INT32_MAX, 4, 1, {0x41, 0x41, 0x41, 0x41}},
      {"no room", 2, 0, 1, {}},
      {"16-bit: low byte, then high byte", 2, 8, 2, {0x41, 0x01, 0x41, 0x01}},
      {"16-bit cut at the end", 9, 4, 2, {0x41, 0x01, 0x41, 0x01}},
      {"16-bit: half a character of room is left unused", 3, 5, 2, {0x41, 0x01, 0x41, 0x01}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> memory(16, 0xEE);
    uint8_t* end = memory.data() + row.room;
    uint8_t* cursor = FillCharacters(memory.data(), end, row.count, 0x0141, row.characterSize);
    EXPECT_EQ(cursor, memory.data() + row.stored.size());
    std::vector<uint8_t> expected(16, 0xEE);
    std::copy(row.stored.begin(), row.stored.end(), expected.begin());
    EXPECT_EQ(memory, expected);
  }
}

TEST(FillCharacters, CursorAtOrPastTheEndStoresNothing) {
  uint8_t memory[4] = {1, 2, 3, 4};
  EXPECT_EQ(FillCharacters(memory + 2, memory + 2, 5, 'x', 1), memory + 2);
  EXPECT_EQ(FillCharacters(memory + 3, memory + 2, 5, 'x', 1), memory + 3);
  EXPECT_EQ(memory[2], 3);
  EXPECT_EQ(memory[3], 4);
}

// The table's ends and the seams between its three ranges.
TEST(StatusText, RangesMapToTheirEntries) {
  struct Row {
    EFI_STATUS status;
    uint32_t index;
    const char* text;
  };
  const Row rows[] = {
      {0x00000000, 0, "Success"},
      {0x00000001, 1, "Warning Unknown Glyph"},
      {0x00000005, 5, "Warning Stale Data"},
      {0x80000001, 6, "Load Error"},
      {0x8000001B, 32, "CRC Error"},
      {0x80000021, 38, "Compromised Data"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(StatusText(row.status), StatusTextTable[row.index]);
    EXPECT_STREQ(StatusTextTable[row.index], row.text);
  }
  for (uint32_t index = 0; index < STATUS_TEXT_COUNT; ++index) {
    EXPECT_NE(StatusTextTable[index], nullptr) << index;
  }
}

TEST(StatusText, NoEntryOutsideTheTable) {
  for (EFI_STATUS status : {6u, 7u, 0x7FFFFFFFu, 0x80000000u, 0x80000022u, 0x80000005u + 0x100u,
                            0xFFFFFFFFu, 0x00000001u | 0x40000000u}) {
    SCOPED_TRACE(status);
    EXPECT_EQ(StatusText(status), nullptr);
  }
}

// '%r' prints the lookup's entry, or the eight hexadecimal digits without one.
TEST(StatusText, ConversionRUsesTheLookup) {
  std::vector<EFI_STATUS> statuses;
  for (uint32_t v = 0; v < 48; ++v) {
    statuses.push_back(v);
    statuses.push_back(0x80000000u | v);
  }
  statuses.push_back(0xFFFFFFFFu);
  for (EFI_STATUS status : statuses) {
    SCOPED_TRACE(status);
    char text[64];
    PrintToBuffer(text, sizeof text, "%r", status);
    char fallback[16];
    std::snprintf(fallback, sizeof fallback, "%08X", status);
    const char* name = StatusText(status);
    EXPECT_STREQ(text, name != nullptr ? name : fallback);
  }
}

}  // namespace
