#include "runners/scenario.h"

#include "vplat/devices/pit8254.h"
#include "vplat/devices/post_code.h"

namespace runners {

Verdict VerdictOf(const Outcome& o) {
  if (o.halted || o.stopped) return Verdict::Fail;
  if (o.endOfPeiStatus) return Verdict::Pass;
  return Verdict::NotRun;
}

void Configure(vplat::Platform& platform, const Scenario& scenario) {
  platform.memory.MapFlash(scenario.image);
  vplat::InstallPostCodePort(platform);
  vplat::AddTraceHub(platform, scenario.traceHub);
  vplat::InstallPit(platform, scenario.pitCounter2Status, scenario.pitCounter2Stuck);
  ArmRun(platform, scenario);
}

void ArmRun(vplat::Platform& platform, const Scenario& scenario) {
  platform.SetTscHz(scenario.tscHz);
  platform.interruptsEnabled = scenario.interruptsEnabled;
  if (scenario.tscHobPresent) platform.pei.AddTscFrequencyHob(vplat::PRESET_TSC_HZ);
  for (const auto& [service, status] : scenario.failures) platform.pei.FailService(service, status);
}

Outcome Collect(const vplat::Platform& platform, std::optional<EFI_STATUS> entryStatus,
                std::optional<EFI_STATUS> endOfPei) {
  Outcome o;
  o.entryStatus = entryStatus;
  o.notificationsRun = platform.pei.NotificationsRun();
  o.endOfPeiStatus = endOfPei;
  o.halted = platform.Halted();
  o.postCodes = platform.PostCodes();
  o.log = platform.log.Entries();
  o.hobs = platform.pei.Hobs();
  o.interruptsEnabled = platform.interruptsEnabled;
  return o;
}

}  // namespace runners
