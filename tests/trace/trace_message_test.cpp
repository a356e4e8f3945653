// The message writer: the message layout, the scatter programs, the optional fields and
// the checksum, asserted as whole access sequences on the virtual platform.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "module/trace/trace.h"
#include "tests/trace/trace_rig.h"

namespace {

using namespace tracetest;

struct StringCase {
  const char* name;
  std::string buffer;  // what the text pointer points at
  uint32_t length;     // what TraceWriteString is given
  std::vector<ChannelItem> items;
};

// Written out from the message format by hand; every data item at window + 0x00.
std::vector<StringCase> StringCases() {
  auto with = [](std::vector<ChannelItem> middle, uint32_t header) {
    std::vector<ChannelItem> items = {{0x10, 4, header}};
    for (const auto& g : GuidItems()) items.push_back(g);
    for (const auto& m : middle) items.push_back(m);
    items.push_back({0x30, 4, 0});
    return items;
  };
  return {
      {"length 0, inline abc", std::string("abc\0", 4), 0,
       with({{0, 4, 0x00636261}, {0, 4, 0}, {0, 4, 0}, {0, 4, 0}, {0, 4, 0}, {0, 4, 0}}, 0x01FF0022)},
      {"length 1: one byte", "Z", 1, with({{0, 2, 0x0001}, {0, 1, 0x5A}}, 0x01FF0222)},
      {"length 2: one 16-bit item", "hi", 2, with({{0, 2, 0x0002}, {0, 2, 0x6968}}, 0x01FF0222)},
      {"length 3: 16-bit then byte", "xyz", 3, with({{0, 2, 0x0003}, {0, 2, 0x7978}, {0, 1, 0x7A}}, 0x01FF0222)},
      {"length 4: one word, no tail", "abcd", 4, with({{0, 2, 0x0004}, {0, 4, 0x64636261}}, 0x01FF0222)},
      {"length 7: abcdefg", "abcdefg", 7,
       with({{0, 2, 0x0007}, {0, 4, 0x64636261}, {0, 2, 0x6665}, {0, 1, 0x67}}, 0x01FF0222)},
      {"length 0x10005 is length 5", "abcdefgh", 0x10005,
       with({{0, 2, 0x0005}, {0, 4, 0x64636261}, {0, 1, 0x65}}, 0x01FF0222)},
      {"length 26: the failure line", "TraceHub : POSTCODE=<8F>\r\n", 26,
       with({{0, 2, 0x001A},
             {0, 4, 0x63617254},  // "Trac"
             {0, 4, 0x62754865},  // "eHub"
             {0, 4, 0x50203A20},  // " : P"
             {0, 4, 0x4354534F},  // "OSTC"
             {0, 4, 0x3D45444F},  // "ODE="
             {0, 4, 0x3E46383C},  // "<8F>"
             {0, 2, 0x0A0D}},     // CR LF
            0x01FF0222)},
  };
}

TEST(TraceWriteString, WholeWriteSequencesForEachLength) {
  for (const auto& c : StringCases()) {
    SCOPED_TRACE(c.name);
    Rig rig(TraceHubMode::Present);
    EXPECT_EQ(TraceWriteString(c.buffer.data(), c.length), EFI_SUCCESS);
    ExpectLog(ExpectedLog(kWindow, c.items), rig.Log());
  }
}

// 1 + 4 + 1 + N / 4 + (N mod 4 >= 2) + (N odd) + 1 writes, for every N that
// changes the tail, and at the top of the range.
TEST(TraceWriteString, LengthPrefixedTextGoesAsWordsThenAHalfThenAByte) {
  for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 23u, 24u, 25u, 199u, 1000u, 65535u}) {
    SCOPED_TRACE(n);
    std::string text(n, '\0');
    for (uint32_t i = 0; i < n; ++i) text[i] = static_cast<char>(i * 7 + 1);
    Rig rig(TraceHubMode::Present);
    TraceWriteString(text.data(), n);
    const size_t writes = 1 + 4 + 1 + n / 4 + (n % 4 >= 2) + (n % 2) + 1;
    ASSERT_EQ(rig.Writes().size(), writes);
    ExpectLog(ExpectedLog(kWindow, StringMessageItems(text)), rig.Log());
  }
}

struct InlineCase {
  const char* name;
  std::string buffer;
  std::string sent;  // the 24 bytes that go out
};

const InlineCase kInline[] = {
    {"empty text", std::string(30, '\0'), std::string(24, '\0')},
    {"bytes after the zero are not sent", std::string("ab\0XYZXYZXYZ", 12) + std::string(12, 'Q'),
     std::string("ab") + std::string(22, '\0')},
    {"23 bytes and the zero", std::string(23, 'm') + std::string(1, '\0'), std::string(23, 'm') + std::string(1, '\0')},
    {"zero at index 24: cut to 24 bytes", std::string(24, 'k') + std::string(1, '\0'), std::string(24, 'k')},
    {"no zero at all in 40 bytes", "0123456789abcdefghijklmnopqrstuvwxyzABCD", "0123456789abcdefghijklmn"},
};

TEST(TraceWriteString, InlineFormSendsExactly24ZeroFilledBytes) {
  for (const auto& c : kInline) {
    SCOPED_TRACE(c.name);
    Rig rig(TraceHubMode::Present);
    TraceWriteString(c.buffer.data(), 0);
    std::vector<ChannelItem> items = {{0x10, 4, 0x01FF0022}};
    for (const auto& g : GuidItems()) items.push_back(g);
    for (const auto& t : TextItems(c.sent)) items.push_back(t);
    items.push_back({0x30, 4, 0});
    ASSERT_EQ(items.size(), 1u + 4 + 6 + 1);
    ExpectLog(ExpectedLog(kWindow, items), rig.Log());
  }
}

TEST(TraceWriteString, EveryCallProbesAfreshAndStartsItsCounterAtZero) {
  Rig rig(TraceHubMode::Present);
  TraceWriteString("abcd", 4);
  const auto first = rig.Log();
  rig.platform.log.Clear();
  TraceWriteString("abcd", 4);
  ExpectLog(first, rig.Log());
}

// The tag supplies header bits 7-23; bits 0-6 are the fixed type and severity.
struct HeaderCase {
  uint32_t tag;
  uint32_t header;
};

TEST(SendDebugString, HeaderTakesBits7To23FromTheTag) {
  const HeaderCase cases[] = {
      {0x00FF0000, 0x01FF0222},
      {0x00FF007F, 0x01FF0222},  // bits 0-6 of the tag do not count
      {0xFFFF0000, 0x01FF0222},  // nor do bits 24-31
      {0x00FF3000, 0x01FF3222},  // unit bits pass through
      {0x00120000, 0x01120222},  // origin byte other than 0xFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tag);
    Rig rig(TraceHubMode::Present);
    Sender sender(c.tag);
    rig.platform.log.Clear();
    sender.Send("abcd");
    ASSERT_FALSE(rig.Writes().empty());
    EXPECT_EQ(rig.Writes().front(), Write(kWindow + 0x10, 4, c.header));
  }
}

TEST(SendDebugString, OriginByteOtherThan0xFFSendsNoGuid) {
  for (uint32_t tag : {0x007F0000u, 0x00800000u, 0x00FE0000u, 0x00000000u}) {
    SCOPED_TRACE(testing::Message() << std::hex << tag);
    Rig rig(TraceHubMode::Present);
    Sender sender(tag);
    rig.platform.log.Clear();
    sender.Send("abcdefg");
    std::vector<ChannelItem> items = {{0x10, 4, (tag & 0x00FFFF80) | 0x01000222},
                                      {0x00, 2, 7},
                                      {0x00, 4, 0x64636261},
                                      {0x00, 2, 0x6665},
                                      {0x00, 1, 0x67},
                                      {0x30, 4, 0}};
    auto expected = ExpectedLog(kWindow, items);
    expected.erase(expected.begin(), expected.begin() + 4);  // the probe happened before the Clear
    ExpectLog(expected, rig.Log());
  }
}

TEST(SendDebugString, CounterFollowsTheGuidAndCountsUpPerMessage) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0080);
  sender.handle.sequence = 41;
  for (uint32_t expectedCounter : {41u, 42u}) {
    rig.platform.log.Clear();
    sender.Send("abcd");
    std::vector<ChannelItem> items = {{0x10, 4, 0x01FF02A2}};
    for (const auto& g : GuidItems()) items.push_back(g);
    items.push_back({0x00, 4, expectedCounter});
    items.push_back({0x00, 2, 4});
    items.push_back({0x00, 4, 0x64636261});
    items.push_back({0x30, 4, 0});
    auto expected = ExpectedLog(kWindow, items);
    expected.erase(expected.begin(), expected.begin() + 4);
    ExpectLog(expected, rig.Log());
  }
  EXPECT_EQ(sender.handle.sequence, 43u);
}

TEST(SendDebugString, CounterWithoutGuidAndCounterWrapping) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00010080);  // origin byte 1: no GUID
  sender.handle.sequence = 0xFFFFFFFF;
  rig.platform.log.Clear();
  sender.Send("");  // inline form, empty text
  sender.Send("");
  const auto writes = rig.Writes();
  ASSERT_EQ(writes.size(), 2u * (1 + 1 + 6 + 1));
  EXPECT_EQ(writes[0], Write(kWindow + 0x10, 4, 0x010100A2));
  EXPECT_EQ(writes[1], Write(kWindow, 4, 0xFFFFFFFF));
  EXPECT_EQ(writes[10], Write(kWindow, 4, 0));
  EXPECT_EQ(sender.handle.sequence, 1u);
}

TEST(SendDebugString, NullTraceHandleSendsNothing) {
  Rig rig(TraceHubMode::Present);
  TraceOutputTable table;
  TraceOutputInit(&table);
  rig.platform.log.Clear();
  SendDebugString(&NullTraceHandle, 4, "abcd");
  EXPECT_TRUE(rig.Log().empty());
}

// The checksum: one more data word, the complemented CRC-32 of every byte
// sent before it, header first, which is zlib's crc32 of that byte stream.
struct CrcCase {
  const char* name;
  uint32_t tag;
  std::string text;
};

const CrcCase kCrc[] = {
    {"abcdefg: words, a half and a byte", 0x00FF0400, "abcdefg"},
    {"the failure line", 0x00FF0400, "TraceHub : POSTCODE=<8F>\r\n"},
    {"one byte", 0x00FF0400, "Z"},
    {"with the counter", 0x00FF0480, "xyz"},
    {"inline form", 0x00FF0400, ""},
    {"no GUID", 0x00420400, "hello, trace hub"},
};

TEST(TraceWriteMessage, ChecksumIsZlibCrc32OfEveryByteSentBeforeIt) {
  for (const auto& c : kCrc) {
    SCOPED_TRACE(c.name);
    Rig rig(TraceHubMode::Present);
    Sender sender(c.tag);
    rig.platform.log.Clear();
    sender.Send(c.text);
    const auto writes = rig.Writes();
    ASSERT_GE(writes.size(), 3u);
    const Access& start = writes.front();
    ASSERT_EQ(start.address, kWindow + 0x10);
    EXPECT_NE(start.value & 0x400, 0u) << "the header announces the checksum";
    EXPECT_EQ(writes.back(), Write(kWindow + 0x30, 4, 0));
    const Access& crcWrite = writes[writes.size() - 2];
    ASSERT_EQ(crcWrite.address, kWindow);
    ASSERT_EQ(crcWrite.width, 4);

    std::vector<uint8_t> stream;
    for (int i = 0; i < 4; ++i) stream.push_back(static_cast<uint8_t>(start.value >> (8 * i)));
    const std::vector<Access> beforeCrc(writes.begin(), writes.end() - 2);
    for (uint8_t b : DataBytes(beforeCrc, kWindow)) stream.push_back(b);
    const uint32_t expected = static_cast<uint32_t>(crc32(0L, stream.data(), static_cast<uInt>(stream.size())));
    EXPECT_EQ(crcWrite.value, expected);
  }
}

TEST(TraceWriteMessage, NoChecksumWithoutTagBit10) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0000);
  rig.platform.log.Clear();
  sender.Send("abcd");
  EXPECT_EQ(rig.Writes().size(), 1u + 4 + 1 + 1 + 1);
}

// Programs the module never builds itself: every op, unknown ops skipped.
TEST(TraceWriteMessage, WalksEveryOpAndSkipsUnknownOnes) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0000);
  TraceMessageData data;
  std::memset(&data, 0xEE, sizeof data);
  data.header = 0x12345678;
  data.sequence = 0xA1B2C3D4;
  data.byteField = 0x5C;
  data.wordFields[0] = 0x11111111;
  data.wordFields[1] = 0x22222222;
  data.length = 0xBEEF;
  data.trailer = 0x0BADF00D;
  const char blob[] = "12345";
  const char* blobAddress = blob;
  std::memcpy(&data.payload[8], &blobAddress, sizeof blobAddress);  // blob slot 0x38
  const ScatterEntry program[] = {
      ScatterTable[2],                // one byte at 0x18
      {3, 0x14, 1},                   // not an op
      ScatterTable[4],                // two words at 0x20
      {0, 0x14, 1},                   // not an op
      ScatterTable[5],                // the 16-bit length
      {SCATTER_OP_U16, 0x20, 2},      // two 16-bit items
      {SCATTER_OP_U8, 0x14, 3},       // three bytes
      {SCATTER_OP_BLOB, 0x38, 5},     // five bytes from elsewhere: a word and a byte
      {SCATTER_OP_BLOB, 0x38, 0},     // nothing
      {0x80, 0x00, 1},                // not an op
      ScatterTable[8],                // the word at 0x48
      ScatterTable[SCATTER_ROW_END],
      ScatterTable[1],                // after the end: never reached
  };
  rig.platform.log.Clear();
  TraceWriteMessage(&sender.handle, program, &data);
  std::vector<ChannelItem> items = {
      {0x10, 4, 0x12345678}, {0x00, 1, 0x5C},       {0x00, 4, 0x11111111}, {0x00, 4, 0x22222222},
      {0x00, 2, 0xBEEF},     {0x00, 2, 0x1111},     {0x00, 2, 0x1111},     {0x00, 1, 0xD4},
      {0x00, 1, 0xC3},       {0x00, 1, 0xB2},       {0x00, 4, 0x34333231}, {0x00, 1, 0x35},
      {0x00, 4, 0x0BADF00D}, {0x30, 4, 0},
  };
  auto expected = ExpectedLog(kWindow, items);
  expected.erase(expected.begin(), expected.begin() + 4);
  ExpectLog(expected, rig.Log());
}

TEST(AddOptionalFields, GuidBeforeCounterAndTheCursorAdvances) {
  TraceHandle handle = ZeroTraceRecord.handle;
  handle.originGuid = TRACE_ORIGIN_GUID;
  handle.sequence = 7;
  struct Case {
    uint32_t header;
    std::vector<uint32_t> rows;
  };
  for (const auto& c : {Case{0x01FF00A2, {0, 1}}, Case{0x01FF0022, {0}}, Case{0x017F00A2, {1}},
                        Case{0x01800022, {}}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.header);
    TraceMessageData data{};
    data.header = c.header;
    ScatterEntry program[SCATTER_PROGRAM_CAPACITY] = {};
    ScatterEntry* cursor = program;
    const uint32_t before = handle.sequence;
    AddOptionalFields(&handle, &data, &cursor);
    ASSERT_EQ(static_cast<size_t>(cursor - program), c.rows.size());
    for (size_t i = 0; i < c.rows.size(); ++i) {
      EXPECT_EQ(program[i].op, ScatterTable[c.rows[i]].op);
      EXPECT_EQ(program[i].offset, ScatterTable[c.rows[i]].offset);
      EXPECT_EQ(program[i].count, ScatterTable[c.rows[i]].count);
    }
    const bool counter = (c.header & 0x80) != 0;
    EXPECT_EQ(handle.sequence, before + (counter ? 1 : 0));
    if (counter) {
      EXPECT_EQ(data.sequence, before);
    }
    if ((c.header >> 16 & 0xFF) == 0xFF) {
      EXPECT_EQ(std::memcmp(&data.guid, &TRACE_ORIGIN_GUID, 16), 0);
    }
  }
}

TEST(TraceOutputInit, PreparesTheGivenTableOrDefaultTraceOutput) {
  Rig rig(TraceHubMode::Present);
  NullTraceHandle.flags = 5;
  NullTraceHandle.sequence = 9;
  TraceOutputTable table;
  std::memset(&table, 0xCC, sizeof table);
  TraceOutputInit(&table);
  EXPECT_EQ(table.stamp, 0x00010400u);
  EXPECT_EQ(table.markerWord, 0xFFFFFFFFu);
  EXPECT_EQ(table.hookParam, 0u);
  EXPECT_EQ(NullTraceHandle.flags, 0u);
  EXPECT_EQ(NullTraceHandle.sequence, 0u);

  TraceOutputInit(nullptr);
  EXPECT_EQ(DefaultTraceOutput.stamp, 0x00010400u);
  EXPECT_EQ(DefaultTraceOutput.markerWord, 0xFFFFFFFFu);
  DefaultTraceOutput = ZeroTraceRecord.table;
}

TEST(Crc32, TableAndWordStepAgreeWithZlib) {
  EXPECT_EQ(Crc32Table[1], 0x77073096u);
  EXPECT_EQ(Crc32Table[255], 0x2D02EF8Du);
  uint32_t state = 0x12345678;
  std::vector<uint8_t> bytes;
  uint32_t crc = 0xFFFFFFFF;
  for (int i = 0; i < 257; ++i) {
    state = state * 1664525u + 1013904223u;
    crc = Crc32UpdateWord(crc, state);
    for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(state >> (8 * b)));
  }
  EXPECT_EQ(~crc, static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size()))));
  // The check value of the standard: "123456789" -> 0xCBF43926.
  uint32_t check = 0xFFFFFFFF;
  for (char ch : std::string("123456789")) check = Crc32UpdateByte(check, static_cast<uint8_t>(ch));
  EXPECT_EQ(~check, 0xCBF43926u);
}

}  // namespace
