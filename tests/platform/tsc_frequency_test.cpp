// The TSC frequency step of the entry on the virtual platform: the exact
// timer and port B sequence, the HOB it leaves, and what it does when a HOB
// exists already, a service fails or counter 2 never fires.
#include <gtest/gtest.h>

#include "module/check/end_of_pei.h"
#include "module/platform/tsc_frequency.h"
#include "platform_test_support.h"
#include "vplat/devices/pit8254.h"
#include "runners/run_native.h"
#include "runners/scenario.h"

namespace {

using namespace platform_test;

constexpr uint32_t SERVICES = vplat::SERVICES_POINTER;
constexpr uint32_t PHIT_LENGTH = 56;
constexpr uint32_t FIRST_FREE_HOB = vplat::HOB_LIST_BASE + PHIT_LENGTH;
// Port accesses from the entry up to the start and the end of the interval.
constexpr uint64_t CLOCKS_TO_START = 8;
constexpr uint64_t CLOCKS_TO_END = 8 + 1193;

const Access kGetHobList = Call(vplat::PeiService::GetHobList, EFI_SUCCESS, {SERVICES, vplat::HOB_LIST_BASE});
const Access kNotifyPpi = Call(vplat::PeiService::NotifyPpi, EFI_SUCCESS,
                               {SERVICES, 0x80000020u, 0x605ea650u, 0x42e1c65cu, 0xa59180bau, 0xc618b62au});

Access CreateHob(EFI_STATUS status, uint32_t hob) { return Call(vplat::PeiService::CreateHob, status, {SERVICES, 4, 32, hob}); }

// Counter 2 and port B before the run, and the bytes the measurement must
// read and write because of them.
struct TimerCase {
  const char* name;
  uint8_t status;   // counter 2's status
  int portBWrite;   // written to port B beforehand, -1 for none
  bool interrupts;
  uint64_t tscHz;
  uint8_t portBRead;       // saved port B
  uint8_t gateOn;          // saved port B, speaker off, gate on
  uint8_t restoreControl;  // control word after the interval
  bool reload;             // 0x00, 0x05 after it
};

const TimerCase kSquareWave = {"square wave", 0x36, -1, true, 2'400'000'000, 0x00, 0x01, 0xB6, true};

const TimerCase kTimerCases[] = {
    kSquareWave,
    {"mode 0, interrupts off", 0x30, -1, false, 2'400'000'000, 0x00, 0x01, 0xB0, false},
    {"square wave, output high, speaker on", 0xB6, 0x03, true, 3'000'000'000, 0x23, 0x21, 0xB6, true},
    {"speaker on, gate off", 0x36, 0x02, false, 1'000'000'000, 0x02, 0x01, 0xB6, true},
    {"BCD square wave is not reloaded", 0x37, -1, true, 2'400'000'000, 0x00, 0x01, 0xB7, false},
    {"rate generator with null count", 0x74, -1, true, 2'400'000'000, 0x00, 0x01, 0xB4, false},
    {"mode 7 is not mode 3's status", 0x3E, -1, true, 2'400'000'000, 0x00, 0x01, 0xBE, false},
    {"5 GHz: 2^32 Hz and more", 0x36, -1, true, 5'000'000'000, 0x00, 0x01, 0xB6, true},
    {"12.9 GHz", 0x36, -1, false, 12'884'901'888, 0x00, 0x01, 0xB6, true},
};

// The measurement from the save of port B to its restore: the read before the start and
// `lowPolls` polls with the output low, then the poll that sees it high.
std::vector<Span> Measurement(const TimerCase& c, size_t lowPolls, bool rises) {
  std::vector<Span> s = {{In(0x61, c.portBRead)}, {Out(0x43, 0xE8)},        {In(0x42, c.status)},
                         {Out(0x61, c.gateOn)},    {Out(0x43, 0xB0)},        {Out(0x42, 0xA9)},
                         {Out(0x42, 0x04)},        {In(0x61, 0x01), 1 + lowPolls}};
  if (rises) s.push_back({In(0x61, 0x21)});
  s.push_back({Out(0x43, c.restoreControl)});
  if (c.reload) Append(s, {{Out(0x42, 0x00)}, {Out(0x42, 0x05)}});
  s.push_back({Out(0x61, c.portBRead)});
  return s;
}

// The entry that measures: the HOB search, the measurement, CreateHob, the registration.
std::vector<Span> MeasuringEntry(const TimerCase& c, const Access& getHobList, const Access& createHob) {
  std::vector<Span> s = {{getHobList}};
  // Counter 2 fires 1194 clocks after its count is written: 1192 low polls.
  Append(s, Measurement(c, 1192, true));
  Append(s, {{createHob}, {kNotifyPpi}});
  return s;
}

// The frequency measured when the entry starts `clocks` PIT clocks after power-on.
uint64_t PredictedFrequency(uint64_t clocks, uint64_t tscHz) {
  return (TscAt(clocks + CLOCKS_TO_END, tscHz) - TscAt(clocks + CLOCKS_TO_START, tscHz)) * 1000;
}

runners::Scenario ScenarioOf(const TimerCase& c) {
  runners::Scenario s;
  s.image.assign(0x1000, 0xFF);  // the entry reads no flash
  s.traceHub = vplat::TraceHubMode::Absent;
  s.pitCounter2Status = c.status;
  s.interruptsEnabled = c.interrupts;
  s.tscHz = c.tscHz;
  return s;
}

// Configures the platform, sets port B, and starts the log afresh.
void Prepare(vplat::Platform& p, const runners::Scenario& s, int portBWrite = -1) {
  runners::Configure(p, s);
  if (portBWrite >= 0) p.PortOut(0x61, 1, static_cast<uint32_t>(portBWrite));
  p.log.Clear();
}

EFI_STATUS RunEntry(vplat::Platform& p) {
  vplat::ScopedPlatform scope(p);
  static int fileHandle;
  return ModuleEntry(&fileHandle, nullptr);
}

std::vector<std::vector<uint8_t>> HobBytes(const vplat::Platform& p) {
  std::vector<std::vector<uint8_t>> hobs;
  for (const auto& h : p.pei.Hobs()) hobs.push_back(h.bytes);
  return hobs;
}

const std::vector<uint8_t> kPhit = RawHob(0x0001, PHIT_LENGTH);

TEST(PublishTscFrequency, MeasuresAndCreatesTheHobWhenNoneExists) {
  for (const auto& c : kTimerCases) {
    SCOPED_TRACE(c.name);
    vplat::Platform p;
    Prepare(p, ScenarioOf(c), c.portBWrite);
    const uint64_t clocks = p.PitClocks();

    EXPECT_EQ(RunEntry(p), EFI_SUCCESS);

    EXPECT_TRUE(LogMatches(p.log.Entries(), MeasuringEntry(c, kGetHobList, CreateHob(EFI_SUCCESS, FIRST_FREE_HOB))));
    EXPECT_EQ(HobBytes(p),
              (std::vector<std::vector<uint8_t>>{kPhit, TscHob(PredictedFrequency(clocks, c.tscHz))}));
    EXPECT_EQ(p.interruptsEnabled, c.interrupts);
  }
}

TEST(MeasureTscFrequency, KnownAnswers) {
  const struct {
    uint64_t tscHz;
    uint64_t frequency;
  } cases[] = {
      {1'193'182, 1'193'000},  // one tick per PIT clock
      {2'400'000'000, 2'399'634'000},
      {5'000'000'000, 4'999'238'000},  // above 2^32
      {12'884'901'888, 12'882'936'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tscHz);
    auto timer = kSquareWave;
    timer.tscHz = c.tscHz;
    vplat::Platform p;
    Prepare(p, ScenarioOf(timer));
    vplat::ScopedPlatform scope(p);
    EXPECT_EQ(MeasureTscFrequency(), c.frequency);
  }
}

TEST(MeasureTscFrequency, InterruptsAreOffForEveryTimerAccess) {
  // Sits in front of the timer and notes the interrupt flag at each access.
  struct Probe : vplat::PortDevice {
    Probe(const vplat::Platform& p, vplat::PortDevice& timer) : platform(p), timer(timer) {}
    uint32_t In(uint16_t port, uint8_t width) override {
      flags.push_back(platform.interruptsEnabled);
      return timer.In(port, width);
    }
    void Out(uint16_t port, uint8_t width, uint32_t value) override {
      flags.push_back(platform.interruptsEnabled);
      timer.Out(port, width, value);
    }
    const vplat::Platform& platform;
    vplat::PortDevice& timer;
    std::vector<bool> flags;
  };
  vplat::Platform p;
  auto& pit = p.AddDevice<vplat::Pit8254>(p, 0x36, false);
  Probe probe(p, pit);
  for (uint16_t port : {0x42, 0x43, 0x61}) p.MapPort(port, &probe);
  p.interruptsEnabled = true;
  {
    vplat::ScopedPlatform scope(p);
    EXPECT_NE(MeasureTscFrequency(), 0u);
  }
  EXPECT_EQ(probe.flags, std::vector<bool>(8 + 1193 + 4, false));
  EXPECT_TRUE(p.interruptsEnabled);
}

TEST(PublishTscFrequency, StuckCounterTimesOutRestoresTheTimerAndPublishesNothing) {
  const TimerCase cases[] = {kSquareWave,
                             {"mode 0, interrupts off", 0x30, -1, false, 2'400'000'000, 0x00, 0x01, 0xB0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = ScenarioOf(c);
    s.pitCounter2Stuck = true;
    vplat::Platform p;
    Prepare(p, s);

    EXPECT_EQ(RunEntry(p), EFI_SUCCESS);

    std::vector<Span> expected = {{kGetHobList}};
    // After the read before the start, every one of the polls reads the output low.
    Append(expected, Measurement(c, PIT_OUTPUT_POLL_LIMIT, false));
    expected.push_back({kNotifyPpi});
    EXPECT_TRUE(LogMatches(p.log.Entries(), expected));
    EXPECT_EQ(HobBytes(p), std::vector<std::vector<uint8_t>>{kPhit});
    EXPECT_EQ(p.interruptsEnabled, c.interrupts);
  }
}

TEST(ModuleEntry, NullFileHandleOnlyRegisters) {
  auto s = ScenarioOf(kSquareWave);
  s.fileHandle = false;
  s.signalEndOfPei = false;
  const auto o = runners::RunNative(s);
  EXPECT_EQ(o.entryStatus, EFI_SUCCESS);
  EXPECT_TRUE(LogMatches(o.log, {{kNotifyPpi}}));
  ASSERT_EQ(o.hobs.size(), 1u);
  EXPECT_EQ(o.hobs[0].bytes, kPhit);
}

std::vector<uint8_t> OtherName(size_t byte) {
  auto name = TSC_GUID_BYTES;
  name[byte] ^= 0x01;
  return name;
}

TEST(PublishTscFrequency, ExistingHobOfAnySizeIsNeitherMeasuredNorChanged) {
  const std::vector<uint8_t> preset = {0x00, 0x10, 0x5E, 0x5F, 0x00, 0x00, 0x00, 0x00};
  const struct {
    const char* name;
    std::vector<std::vector<uint8_t>> hobs;
  } cases[] = {
      {"alone", {kPhit, GuidHob(TSC_GUID_BYTES, preset, 32)}},
      {"no data, before others", {kPhit, GuidHob(TSC_GUID_BYTES, {}, 24), GuidHob(OtherName(0), preset, 32)}},
      {"40 data bytes, after others",
       {kPhit, GuidHob(OtherName(15), preset, 32), RawHob(0x0003, 48), GuidHob(TSC_GUID_BYTES, {0xAB}, 64)}},
      {"odd length between others",
       {kPhit, RawHob(0x0002, 48), GuidHob(TSC_GUID_BYTES, preset, 31), GuidHob(OtherName(8), {}, 24)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vplat::Platform p;
    Prepare(p, ScenarioOf(kSquareWave));
    WriteHobList(p, c.hobs);
    std::vector<uint8_t> before(0x200), after(0x200);
    p.memory.Peek(vplat::HOB_LIST_BASE, before.data(), 0x200);
    const uint64_t clocks = p.PitClocks();

    EXPECT_EQ(RunEntry(p), EFI_SUCCESS);

    EXPECT_TRUE(LogMatches(p.log.Entries(), {{kGetHobList}, {kNotifyPpi}}));
    EXPECT_EQ(p.PitClocks(), clocks) << "no port access";
    p.memory.Peek(vplat::HOB_LIST_BASE, after.data(), 0x200);
    EXPECT_EQ(after, before);
  }
}

TEST(PublishTscFrequency, SkipsOtherHobsAndAppendsItsOwnAtTheEnd) {
  // Names that differ from the TSC GUID in its first, second, third and last word.
  const std::vector<std::vector<uint8_t>> hobs = {
      kPhit,
      GuidHob(OtherName(3), {1, 2, 3}, 32),
      RawHob(0x0003, 48),
      GuidHob(OtherName(4), {}, 24),
      RawHob(0x0002, 48, TSC_GUID_BYTES),  // the name at a GUID HOB's place, but not a GUID HOB
      GuidHob(OtherName(11), {}, 40),
      GuidHob(OtherName(12), {}, 24),
  };
  vplat::Platform p;
  Prepare(p, ScenarioOf(kSquareWave));
  const uint32_t end = WriteHobList(p, hobs);
  const uint64_t clocks = p.PitClocks();

  EXPECT_EQ(RunEntry(p), EFI_SUCCESS);

  EXPECT_TRUE(LogMatches(p.log.Entries(), MeasuringEntry(kSquareWave, kGetHobList, CreateHob(EFI_SUCCESS, end))));
  auto all = hobs;
  all.push_back(TscHob(PredictedFrequency(clocks, kSquareWave.tscHz)));
  EXPECT_EQ(HobBytes(p), all);
}

TEST(PublishTscFrequency, FailingServices) {
  const struct {
    const char* name;
    vplat::PeiService service;
    EFI_STATUS status;
    Access hobList;
    Access createHob;
    bool created;
  } cases[] = {
      {"CreateHob fails: nothing written", vplat::PeiService::CreateHob, EFI_OUT_OF_RESOURCES, kGetHobList,
       CreateHob(EFI_OUT_OF_RESOURCES, 0), false},
      {"GetHobList fails: an empty list", vplat::PeiService::GetHobList, 0x80000012u,
       Call(vplat::PeiService::GetHobList, 0x80000012u, {SERVICES, 0}), CreateHob(EFI_SUCCESS, FIRST_FREE_HOB), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = ScenarioOf(kSquareWave);
    s.failures[c.service] = c.status;
    vplat::Platform p;
    Prepare(p, s);

    EXPECT_EQ(RunEntry(p), EFI_SUCCESS);

    EXPECT_TRUE(LogMatches(p.log.Entries(), MeasuringEntry(kSquareWave, c.hobList, c.createHob)));
    EXPECT_EQ(p.pei.Hobs().size(), c.created ? 2u : 1u);
    EXPECT_EQ(p.pei.Registrations().size(), 1u) << "the entry still registers its notification";
  }
}

}  // namespace
