// The decoder: the module's messages come back out of the access log as
// sent, and malformed streams are reported, not guessed at.
#include "vplat/devices/trace_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "module/trace/trace.h"
#include "tests/trace/trace_rig.h"

namespace {

using namespace tracetest;
using vplat::CrcCheck;
using vplat::DecodeTrace;
using vplat::TraceDecodeErrorKind;

constexpr EFI_GUID kOrigin = {0x23a3e7ba, 0x75d1, 0x4cb9, {0x9c, 0x8f, 0x56, 0xfa, 0x4e, 0x48, 0xd9, 0x9e}};

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(TraceDecoder, RoundTripOfTraceWriteStringForManyLengths) {
  for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 7u, 24u, 26u, 31u, 200u, 4099u, 65535u}) {
    SCOPED_TRACE(n);
    std::string text(n, '\0');
    for (uint32_t i = 0; i < n; ++i) text[i] = static_cast<char>(i * 13 + 5);  // zero bytes included
    Rig rig(TraceHubMode::Present);
    TraceWriteString(text.data(), n);
    const auto result = DecodeTrace(rig.Log());
    ASSERT_TRUE(result.errors.empty()) << vplat::Describe(result.errors.front());
    ASSERT_EQ(result.messages.size(), 1u);
    const auto& m = result.messages[0];
    EXPECT_EQ(m.master, 32u);
    EXPECT_EQ(m.channel, 14u);
    EXPECT_EQ(m.header, 0x01FF0222u);
    EXPECT_EQ(m.type, 2);
    EXPECT_EQ(m.severity, 2);
    EXPECT_EQ(m.subtype, 1);
    EXPECT_EQ(m.origin, 0xFF);
    EXPECT_EQ(m.unit, 0);
    ASSERT_TRUE(m.guid.has_value());
    EXPECT_TRUE(SameGuid(*m.guid, kOrigin));
    EXPECT_FALSE(m.counter.has_value());
    ASSERT_TRUE(m.length.has_value());
    EXPECT_EQ(*m.length, n);
    EXPECT_EQ(m.text, text);
    EXPECT_EQ(m.crc, CrcCheck::NotPresent);
    EXPECT_TRUE(result.Clean());
  }
}

TEST(TraceDecoder, InlineFormGivesTheTextUpToItsZero) {
  Rig rig(TraceHubMode::Present);
  TraceWriteString("abc", 0);
  const auto result = DecodeTrace(rig.Log());
  ASSERT_TRUE(result.Clean());
  ASSERT_EQ(result.messages.size(), 1u);
  const auto& m = result.messages[0];
  EXPECT_EQ(m.header, 0x01FF0022u);
  EXPECT_FALSE(m.length.has_value());
  EXPECT_EQ(m.payload.size(), 24u);
  EXPECT_EQ(m.text, "abc");
}

TEST(TraceDecoder, CounterAndChecksumComeBackAndTheCrcChecks) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0480);
  sender.handle.sequence = 100;
  sender.Send("first");
  sender.Send("second line\r\n");
  sender.Send("");
  const auto result = DecodeTrace(rig.Log());
  ASSERT_TRUE(result.Clean());
  ASSERT_EQ(result.messages.size(), 3u);
  const char* texts[] = {"first", "second line\r\n", ""};
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto& m = result.messages[i];
    EXPECT_EQ(m.text, texts[i]);
    ASSERT_TRUE(m.counter.has_value());
    EXPECT_EQ(*m.counter, 100 + i);
    EXPECT_EQ(m.crc, CrcCheck::Match);
    EXPECT_EQ(m.crcSent, m.crcComputed);
  }
  EXPECT_EQ(vplat::RenderMessage(result.messages[1]),
            "master 32 channel 14: \"second line\\r\\n\" [counter 101] [crc ok]");
}

TEST(TraceDecoder, CorruptedByteOrChecksumIsAMismatch) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0400);
  sender.Send("abcdefg");
  const auto good = rig.Log();
  // The last data write before the end is the CRC; the one before it the 'g'.
  size_t crcIndex = 0, byteIndex = 0;
  for (size_t i = 0; i < good.size(); ++i)
    if (good[i].kind == AccessKind::MmioWrite && good[i].address == kWindow) {
      byteIndex = crcIndex;
      crcIndex = i;
    }
  for (size_t corrupt : {crcIndex, byteIndex}) {
    SCOPED_TRACE(corrupt);
    auto log = good;
    log[corrupt].value ^= 0x01;
    const auto result = DecodeTrace(log);
    EXPECT_TRUE(result.errors.empty());
    ASSERT_EQ(result.messages.size(), 1u);
    const auto& m = result.messages[0];
    EXPECT_EQ(m.crc, CrcCheck::Mismatch);
    EXPECT_NE(m.crcSent, m.crcComputed);
    EXPECT_FALSE(result.Clean());
    EXPECT_NE(vplat::RenderMessage(m).find("[CRC MISMATCH: sent 0x"), std::string::npos);
  }
}

TEST(TraceDecoder, OwnCrcAgreesWithZlib) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 1000; ++i) {
    bytes.push_back(static_cast<uint8_t>(i * 31 + 7));
    EXPECT_EQ(vplat::TraceCrc32(bytes), static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size()))));
  }
  EXPECT_EQ(vplat::TraceCrc32({}), 0u);
}

TEST(TraceDecoder, InterleavedChannelsAreSeparateStreams) {
  using vplat::TraceChannelWindow;
  const uint32_t a = TraceChannelWindow(32, 14), b = TraceChannelWindow(40, 3);
  const std::vector<Access> log = {
      Write(a + 0x10, 4, 0x01000222), Write(b + 0x10, 4, 0x01000022), Write(a, 2, 2),
      Write(b, 4, 0x00006968),        Write(a, 2, 0x6968),            Read(a, 4, 0),
      Write(b + 0x30, 4, 0),          Write(a + 0x30, 4, 0),
  };
  const auto result = DecodeTrace(log);
  ASSERT_TRUE(result.Clean());
  ASSERT_EQ(result.messages.size(), 2u);
  EXPECT_EQ(vplat::RenderMessage(result.messages[0]), "master 40 channel 3: \"hi\"");
  EXPECT_EQ(vplat::RenderMessage(result.messages[1]), "master 32 channel 14: \"hi\"");
  EXPECT_EQ(result.messages[1].writes.size(), 4u);
}

struct MalformedCase {
  const char* name;
  std::vector<Access> log;
  TraceDecodeErrorKind kind;
  size_t index;
  size_t messages;
};

std::vector<MalformedCase> MalformedCases() {
  const uint32_t w = kWindow;
  return {
      {"data without a start", {Write(w, 4, 0x64636261)},
       TraceDecodeErrorKind::DataWithoutStart, 0, 0},
      {"end without a start", {Write(w + 0x30, 4, 0)}, TraceDecodeErrorKind::DataWithoutStart, 0, 0},
      {"missing end at the end of the log", {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1), Write(w, 1, 0x41)},
       TraceDecodeErrorKind::MissingEnd, 0, 0},
      {"a new start before the end",
       {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1), Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1),
        Write(w, 1, 0x41), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::MissingEnd, 0, 1},
      {"GUID announced, 8 bytes sent",
       {Write(w + 0x10, 4, 0x01FF0022), Write(w, 4, 1), Write(w, 4, 2), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::Truncated, 0, 0},
      {"length larger than the text",
       {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 5), Write(w, 4, 0x64636261), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::Truncated, 0, 0},
      {"checksum announced, none sent", {Write(w + 0x10, 4, 0x01000622), Write(w, 2, 1), Write(w, 1, 0x41), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::Truncated, 0, 0},
      {"bytes after the text",
       {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1), Write(w, 1, 0x41), Write(w, 1, 0x42), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::TrailingBytes, 4, 1},
      {"16-bit start", {Write(w + 0x10, 2, 0x0222)}, TraceDecodeErrorKind::UnexpectedWrite, 0, 0},
      {"write at another offset", {Write(w + 0x08, 4, 0)}, TraceDecodeErrorKind::UnexpectedWrite, 0, 0},
      {"64-bit data write, left out of the message",
       {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1), Write(w, 8, 0x42), Write(w, 1, 0x41), Write(w + 0x30, 4, 0)},
       TraceDecodeErrorKind::UnexpectedWrite, 2, 1},
      {"end value not 0", {Write(w + 0x10, 4, 0x01000222), Write(w, 2, 1), Write(w, 1, 0x41), Write(w + 0x30, 4, 1)},
       TraceDecodeErrorKind::NonZeroEnd, 3, 1},
  };
}

TEST(TraceDecoder, MalformedStreamsAreReported) {
  for (const auto& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    const auto result = DecodeTrace(c.log);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].kind, c.kind) << vplat::Describe(result.errors[0]);
    EXPECT_EQ(result.errors[0].index, c.index);
    EXPECT_EQ(result.errors[0].master, 32u);
    EXPECT_EQ(result.errors[0].channel, 14u);
    EXPECT_EQ(result.messages.size(), c.messages);
    EXPECT_FALSE(result.Clean());
  }
}

TEST(TraceDecoder, DescribeNamesChannelAccessAndProblem) {
  const auto result = DecodeTrace({Read(0xFE200000, 4, 0), Write(kWindow, 1, 0x41)});
  ASSERT_EQ(result.errors.size(), 1u);
  EXPECT_EQ(vplat::Describe(result.errors[0]),
            "master 32 channel 14, access 1: data without start (write8 at window + 0x00 <- 0x41)");
}

TEST(TraceDecoder, WritesOutsideTheApertureAreNotTrace) {
  const std::vector<Access> log = {Write(0xFE1FFFFC, 4, 1), Write(0xFE3C0000, 4, 1),
                                   {AccessKind::PortWrite, 0x80, 2, 0x8F}};
  const auto result = DecodeTrace(log);
  EXPECT_TRUE(result.messages.empty());
  EXPECT_TRUE(result.errors.empty());
}

TEST(TraceDecoder, QuoteTextEscapes) {
  EXPECT_EQ(vplat::QuoteText(std::string("a\"b\\c\r\n\t\0\x01\x7F\xE9", 12)),
            "\"a\\\"b\\\\c\\r\\n\\t\\0\\x01\\x7F\\xE9\"");
}

TEST(TraceDecoder, FormatGuidIsLowerCase84444_12) {
  EXPECT_EQ(vplat::FormatGuid(kOrigin), "23a3e7ba-75d1-4cb9-9c8f-56fa4e48d99e");
}

TEST(TraceDecoder, OtherMessageTypesRenderAsBytes) {
  const std::vector<Access> log = {Write(kWindow + 0x10, 4, 0x01000013), Write(kWindow, 2, 0xBBAA),
                                   Write(kWindow + 0x30, 4, 0)};
  const auto result = DecodeTrace(log);
  ASSERT_EQ(result.messages.size(), 1u);
  EXPECT_EQ(vplat::RenderMessage(result.messages[0]), "master 32 channel 14: type 3 subtype 1 [AA BB]");
}

}  // namespace
