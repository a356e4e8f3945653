// The failure trace line on the virtual
// platform, access by access, and back through the decoder.
#include <gtest/gtest.h>

#include "module/trace/trace.h"
#include "tests/trace/trace_rig.h"
#include "vplat/devices/trace_decoder.h"

namespace {

using namespace tracetest;

// "TraceHub : POSTCODE=<8F>" CR LF, 26 bytes, and the NUL the formatter adds.
const char kLine[] = "TraceHub : POSTCODE=<8F>\r\n";
static_assert(sizeof kLine == 27);

TEST(Acceptance, FailureLineIsExactlyThisAccessSequence) {
  Rig rig(TraceHubMode::Present);
  EXPECT_EQ(TraceWriteString(kLine, 26), EFI_SUCCESS);

  const uint32_t W = 0xFE200380;
  const std::vector<Access> present = {Read(0xE00FA000, 2, 0x8086), Read(0xE00FA048, 4, 0xFE000002),
                                       Read(0xFE0005D0, 4, 0), Read(0xFE200000, 4, 0)};
  const std::vector<Access> writes = {
      Write(W + 0x10, 4, 0x01FF0222),  // header: string, severity 2, length, GUID, subtype 1
      Write(W, 4, 0x23A3E7BA),         // origin GUID as stored
      Write(W, 4, 0x4CB975D1),
      Write(W, 4, 0xFA568F9C),
      Write(W, 4, 0x9ED9484E),
      Write(W, 2, 0x001A),      // 26
      Write(W, 4, 0x63617254),  // "Trac"
      Write(W, 4, 0x62754865),  // "eHub"
      Write(W, 4, 0x50203A20),  // " : P"
      Write(W, 4, 0x4354534F),  // "OSTC"
      Write(W, 4, 0x3D45444F),  // "ODE="
      Write(W, 4, 0x3E46383C),  // "<8F>"
      Write(W, 2, 0x0A0D),      // CR LF
      Write(W + 0x30, 4, 0),    // end
  };
  // The probe when the table is set up, then a fresh lookup before every write.
  std::vector<Access> expected = present;
  for (const auto& w : writes) {
    expected.insert(expected.end(), present.begin(), present.end());
    expected.push_back(w);
  }
  ExpectLog(expected, rig.Log());
  EXPECT_EQ(rig.platform.log.DroppedWrites(), 0u);

  const auto result = vplat::DecodeTrace(rig.Log());
  ASSERT_TRUE(result.Clean());
  ASSERT_EQ(result.messages.size(), 1u);
  const auto& m = result.messages[0];
  EXPECT_EQ(m.master, 32u);
  EXPECT_EQ(m.channel, 14u);
  EXPECT_EQ(m.text, "TraceHub : POSTCODE=<8F>\r\n");
  ASSERT_TRUE(m.guid.has_value());
  EXPECT_EQ(vplat::FormatGuid(*m.guid), "23a3e7ba-75d1-4cb9-9c8f-56fa4e48d99e");
  EXPECT_EQ(vplat::RenderMessage(m), "master 32 channel 14: \"TraceHub : POSTCODE=<8F>\\r\\n\"");
}

TEST(Acceptance, AbsentOrDisabledHubGetsNothingInTheAperture) {
  for (TraceHubMode mode : {TraceHubMode::Absent, TraceHubMode::Disabled, TraceHubMode::ApertureDead}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Rig rig(mode);
    EXPECT_EQ(TraceWriteString(kLine, 26), EFI_SUCCESS);
    EXPECT_TRUE(rig.Writes().empty());
    EXPECT_EQ(rig.platform.log.DroppedWrites(), 0u);
    ExpectLog(GateReads(mode), rig.Log());  // the probe only
    const auto result = vplat::DecodeTrace(rig.Log());
    EXPECT_TRUE(result.messages.empty());
    EXPECT_TRUE(result.errors.empty());
  }
}

}  // namespace
