// The failure path end to end: POST code first, then the one trace message
// carrying the line, then the halt; a passed check sends nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "module/check/failure_trace_line.h"
#include "vplat/flash_image.h"
#include "runners/run_native.h"
#include "vplat/devices/trace_decoder.h"

namespace {

using vplat::AccessKind;

constexpr char kLine[] = "TraceHub : POSTCODE=<8F>\r\n";
constexpr uint32_t kApertureBase = 0xFE200000u;

runners::Scenario Failing(vplat::TraceHubMode hub) {
  runners::Scenario s;
  vplat::FlashImageOptions o;
  o.digest = vplat::ReferenceDigest::Wrong;
  s.image = vplat::BuildFlashImage(o);
  s.traceHub = hub;
  s.tscHobPresent = true;
  return s;
}

bool IsApertureWrite(const vplat::Access& a) {
  return a.kind == AccessKind::MmioWrite && a.address >= kApertureBase && a.address < kApertureBase + 0x200000;
}

TEST(FailureTraceLine, LeavesTheTwentySixBytesAndTheTerminatorInItsBuffer) {
  vplat::Platform platform;  // no trace hub: the line is formatted, then sent nowhere
  vplat::ScopedPlatform scope(platform);
  char buffer[TRACE_LINE_BUFFER_SIZE];
  std::memset(buffer, 0x55, sizeof buffer);
  SendFailureTraceLine(buffer);
  EXPECT_EQ(0, std::memcmp(buffer, kLine, sizeof kLine));  // 26 characters and the zero
  EXPECT_EQ(buffer[27], 0x55) << "nothing past the terminator";
}

TEST(FailureTraceLine, EveryFailureSendsPostCodeThenTheMessageThenHalts) {
  // Allocation failure and a digest mismatch fail at opposite ends of the check.
  auto allocationFails = Failing(vplat::TraceHubMode::Present);
  allocationFails.failures[vplat::PeiService::AllocatePool] = 0x80000009u;
  for (const auto& s : {Failing(vplat::TraceHubMode::Present), allocationFails}) {
    const auto o = runners::RunNative(s);
    ASSERT_TRUE(o.halted);
    // The POST code write precedes every trace hub access, and the halt ends the log.
    size_t post = 0;
    while (post < o.log.size() && !(o.log[post].kind == AccessKind::PortWrite && o.log[post].address == 0x80)) ++post;
    ASSERT_LT(post, o.log.size());
    for (size_t i = 0; i < post; ++i) EXPECT_NE(o.log[i].kind, AccessKind::MmioRead) << vplat::Describe(o.log[i]);
    EXPECT_EQ(o.log.back().kind, AccessKind::Halt);

    const auto decoded = vplat::DecodeTrace(o.log);
    EXPECT_TRUE(decoded.Clean());
    ASSERT_EQ(decoded.messages.size(), 1u);
    const auto& m = decoded.messages[0];
    EXPECT_EQ(m.master, 32u);
    EXPECT_EQ(m.channel, 14u);
    EXPECT_EQ(m.header, 0x01FF0222u);
    EXPECT_EQ(m.text, kLine);
    ASSERT_TRUE(m.guid.has_value());
    const EFI_GUID origin = {0x23a3e7ba, 0x75d1, 0x4cb9, {0x9c, 0x8f, 0x56, 0xfa, 0x4e, 0x48, 0xd9, 0x9e}};
    EXPECT_EQ(0, std::memcmp(&*m.guid, &origin, sizeof origin));
  }
}

TEST(FailureTraceLine, NothingReachesTheApertureWithoutAUsableHub) {
  for (auto hub : {vplat::TraceHubMode::Absent, vplat::TraceHubMode::Disabled, vplat::TraceHubMode::ApertureDead}) {
    const auto o = runners::RunNative(Failing(hub));
    EXPECT_TRUE(o.halted);
    EXPECT_EQ(o.postCodes, std::vector<uint8_t>{0x8F});
    for (const auto& a : o.log) EXPECT_FALSE(IsApertureWrite(a)) << vplat::Describe(a);
  }
}

TEST(FailureTraceLine, PassedCheckTouchesNoTraceHub) {
  runners::Scenario s;
  s.image = vplat::BuildFlashImage({});
  s.tscHobPresent = true;
  const auto o = runners::RunNative(s);
  EXPECT_EQ(runners::VerdictOf(o), runners::Verdict::Pass);
  for (const auto& a : o.log) EXPECT_NE(a.kind, AccessKind::MmioRead) << vplat::Describe(a);
  for (const auto& a : o.log) EXPECT_NE(a.kind, AccessKind::MmioWrite) << vplat::Describe(a);
}

}  // namespace
