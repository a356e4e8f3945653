// Channel access: the window lookup behind the presence gate, the hooks the
// installer chooses, and the exact accesses each hook makes.
#include <gtest/gtest.h>

#include "module/trace/trace.h"
#include "tests/trace/trace_rig.h"

namespace {

using namespace tracetest;

struct AddressCase {
  uint16_t master;
  uint16_t channel;
  uint32_t window;
};

// 0xFE200000 + (master - 32) * 0x2000 + channel * 0x40, modulo 2^32.
const AddressCase kAddresses[] = {
    {32, 0, 0xFE200000},
    {32, 14, 0xFE200380},
    {33, 0, 0xFE202000},
    {32, 128, 0xFE202000},  // channels are not bounded: 128 of m is 0 of m + 1
    {32, 127, 0xFE201FC0},
    {255, 127, 0xFE3BFFC0},
    {255, 255, 0xFE3C1FC0},  // the probe's window
    {0xFFFF, 0xFFFF, 0xFE200000u + 0xFFDFu * 0x2000u + 0xFFFFu * 0x40u},  // wraps past 4 GiB
    {31, 0, 0},
    {31, 14, 0},
    {0, 0, 0},
};

TEST(GetChannelAddress, WindowsAndMastersBelow32AfterTheSameGateReads) {
  for (const auto& c : kAddresses) {
    SCOPED_TRACE(testing::Message() << "master " << c.master << " channel " << c.channel);
    Rig rig(TraceHubMode::Present);
    EXPECT_EQ(Raw(GetChannelAddress(c.master, c.channel)), c.window);
    ExpectLog(GateReads(TraceHubMode::Present), rig.Log());
  }
}

struct AbsenceCase {
  TraceHubMode mode;
  const char* name;
};

const AbsenceCase kAbsences[] = {
    {TraceHubMode::Disabled, "disable bit set: vendor, base, disable register; no aperture read"},
    {TraceHubMode::ApertureDead, "aperture word all ones: all four reads"},
    {TraceHubMode::Absent, "vendor ID 0xFFFF: no base defined, so nothing more is read"},
};

TEST(GetChannelAddress, EachAbsenceConditionYieldsZeroAfterItsReads) {
  for (const auto& c : kAbsences) {
    SCOPED_TRACE(c.name);
    Rig rig(c.mode);
    EXPECT_EQ(GetChannelAddress(32, 14), NULL_PHYS);
    ExpectLog(GateReads(c.mode), rig.Log());
  }
}

// Every slot of an installed table, driven once: bind to master 32 channel
// 14, then the start, alternate start, data of each width, end and aux hooks.
void DriveEverySlot(TraceOutputTable& table, TraceHandle& handle, const TraceChannelId& id) {
  table.bindHook(&handle, &id);
  table.writeStart(&handle, 0x01FF0222);
  table.writeStartAlt(&handle, 0x01FF0022);
  table.writeData8(&handle, 0x5A);
  table.writeData16(&handle, 0x0A0D);
  table.writeData32(&handle, 0x63617254);
  table.writeEnd(&handle);
  table.auxHook(&handle);
}

TEST(InstallChannelHooks, PresentHubGetsHooksThatWriteEachItemAtItsRegister) {
  Rig rig(TraceHubMode::Present);
  TraceOutputTable table = ZeroTraceRecord.table;
  EXPECT_EQ(Raw(InstallChannelHooks(&table, 0x1234)), 0xFE3C1FC0u);  // the probe's window
  EXPECT_EQ(table.hookParam, 0x1234u);
  EXPECT_EQ(table.writeMessage, nullptr) << "the installer never touches writeMessage";
  EXPECT_EQ(table.stamp, 0u);
  EXPECT_EQ(table.markerWord, 0u);
  TraceHandle handle = ZeroTraceRecord.handle;
  handle.platformWord = 0xA5A5A5A5;
  const TraceChannelId id = {32, 14};
  DriveEverySlot(table, handle, id);
  EXPECT_EQ(handle.platformWord, 0xA5A5A5A5u);
  ExpectLog(ExpectedLog(kWindow, {{0x10, 4, 0x01FF0222},
                                  {0x18, 4, 0x01FF0022},
                                  {0x00, 1, 0x5A},
                                  {0x00, 2, 0x0A0D},
                                  {0x00, 4, 0x63617254},
                                  {0x30, 4, 0}}),
            rig.Log());
}

TEST(InstallChannelHooks, UnusableHubGetsHooksThatOnlyClearThePlatformWord) {
  for (const auto& c : kAbsences) {
    SCOPED_TRACE(c.name);
    Rig rig(c.mode);
    TraceOutputTable table = ZeroTraceRecord.table;
    EXPECT_EQ(InstallChannelHooks(&table, 7), NULL_PHYS);
    EXPECT_EQ(table.hookParam, 7u);
    TraceHandle handle = ZeroTraceRecord.handle;
    handle.platformWord = 0xA5A5A5A5;
    handle.sequence = 9;
    const TraceChannelId id = {32, 14};
    DriveEverySlot(table, handle, id);
    EXPECT_EQ(handle.platformWord, 0u);
    EXPECT_EQ(handle.sequence, 9u);
    EXPECT_EQ(handle.channel, 14u) << "binding works without a hub";
    ExpectLog(GateReads(c.mode), rig.Log());  // the probe, nothing after it
  }
}

TEST(BindChannel, CopiesTheRecordPointerMasterAndChannel) {
  TraceHandle handle = ZeroTraceRecord.handle;
  const TraceChannelId id = {0x00010020, 0x0001000E};
  BindChannel(&handle, &id);
  EXPECT_EQ(handle.channelIdRecord, &id);
  EXPECT_EQ(handle.master, 0x00010020u);
  EXPECT_EQ(handle.channel, 0x0001000Eu);
}

// Each hardware hook: one lookup, then its one write of its width.
TEST(HardwareHooks, EachMakesOneWriteOfItsWidthAtItsOffset) {
  struct HookCase {
    const char* name;
    void (*call)(TraceHandle*);
    Access write;
  };
  const HookCase cases[] = {
      {"WriteStart32", [](TraceHandle* h) { WriteStart32(h, 0x01FF0222); }, Write(kWindow + 0x10, 4, 0x01FF0222)},
      {"WriteStartAlt32", [](TraceHandle* h) { WriteStartAlt32(h, 0xCAFEF00D); }, Write(kWindow + 0x18, 4, 0xCAFEF00D)},
      {"WriteData8", [](TraceHandle* h) { WriteData8(h, 0x67); }, Write(kWindow, 1, 0x67)},
      {"WriteData16", [](TraceHandle* h) { WriteData16(h, 0x0A0D); }, Write(kWindow, 2, 0x0A0D)},
      {"WriteData32", [](TraceHandle* h) { WriteData32(h, 0x64636261); }, Write(kWindow, 4, 0x64636261)},
      {"WriteEnd", [](TraceHandle* h) { WriteEnd(h); }, Write(kWindow + 0x30, 4, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(TraceHubMode::Present);
    TraceHandle handle = ZeroTraceRecord.handle;
    const TraceChannelId id = {32, 14};
    BindChannel(&handle, &id);
    handle.platformWord = 0xA5A5A5A5;
    c.call(&handle);
    auto expected = GateReads(TraceHubMode::Present);
    expected.push_back(c.write);
    ExpectLog(expected, rig.Log());
    EXPECT_EQ(handle.platformWord, 0xA5A5A5A5u) << "only the fallback start hooks touch it";
  }
}

TEST(HardwareHooks, OnlyTheLow16BitsOfMasterAndChannelCount) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0000, {0x00010020, 0x0001000E});
  rig.platform.log.Clear();
  WriteData32(&sender.handle, 0x11223344);
  auto expected = GateReads(TraceHubMode::Present);
  expected.push_back(Write(0xFE200380, 4, 0x11223344));
  ExpectLog(expected, rig.Log());
}

TEST(HardwareHooks, MasterBelow32DropsEveryValueAfterItsLookup) {
  Rig rig(TraceHubMode::Present);
  Sender sender(0x00FF0000, {31, 14});
  ASSERT_EQ(sender.table.writeStart, &WriteStart32) << "the probe found the hub";
  rig.platform.log.Clear();
  sender.Send("abcdefg");
  // Ten hook calls (header, four GUID words, length, word, half, byte, end),
  // each a full lookup and no write.
  std::vector<Access> expected;
  for (int i = 0; i < 10; ++i)
    for (const auto& r : GateReads(TraceHubMode::Present)) expected.push_back(r);
  ExpectLog(expected, rig.Log());
  EXPECT_EQ(rig.platform.log.DroppedWrites(), 0u);
}

TEST(HardwareHooks, HubThatVanishesAfterTheProbeGetsNoWrite) {
  for (const auto& c : kAbsences) {
    SCOPED_TRACE(c.name);
    Rig rig(TraceHubMode::Present);
    Sender sender(0x00FF0000);
    rig.hub.SetMode(c.mode);
    rig.platform.log.Clear();
    sender.Send("abcdefg");
    std::vector<Access> expected;
    for (int i = 0; i < 10; ++i)
      for (const auto& r : GateReads(c.mode)) expected.push_back(r);
    ExpectLog(expected, rig.Log());
  }
}

// The whole failure-path call with no usable hub: the probe's reads and
// nothing else; the start hook clears platformWord.
TEST(Absence, NoApertureWriteAndPlatformWordLeftZero) {
  for (const auto& c : kAbsences) {
    SCOPED_TRACE(c.name);
    Rig rig(c.mode);
    EXPECT_EQ(TraceWriteString("abcdefg", 7), EFI_SUCCESS);
    ExpectLog(GateReads(c.mode), rig.Log());
    EXPECT_EQ(rig.platform.log.DroppedWrites(), 0u);

    rig.platform.log.Clear();
    Sender sender(0x00FF0000);
    sender.handle.platformWord = 0xA5A5A5A5;
    sender.Send("TraceHub : POSTCODE=<8F>\r\n");
    EXPECT_EQ(sender.handle.platformWord, 0u);
    EXPECT_TRUE(rig.Writes().empty());
    ExpectLog(GateReads(c.mode), rig.Log());  // the Sender's own probe
  }
}

}  // namespace
