#include "vplat/scenario.h"

#include "vplat/devices/pit8254.h"
#include "vplat/devices/trace_hub.h"

namespace vplat {

std::string Outcome::Verdict() const {
  if (halted) return "halted";
  if (!endOfPeiStatus) return "not run";
  return "passed";
}

void Configure(Platform& platform, const Scenario& scenario) {
  platform.memory.MapFlash(scenario.image);
  InstallTraceHub(platform, scenario.traceHub);
  InstallPit(platform, scenario);
  platform.interruptsEnabled = scenario.interruptsEnabled;
  if (scenario.tscHobPresent) platform.pei.AddGuidHob(TSC_FREQUENCY_HOB_GUID, PresetTscHobData());
  for (const auto& [service, status] : scenario.failures) platform.pei.FailService(service, status);
}

Outcome Collect(const Platform& platform, EFI_STATUS entryStatus, std::optional<EFI_STATUS> endOfPei) {
  Outcome o;
  o.entryStatus = entryStatus;
  o.endOfPeiStatus = endOfPei;
  o.halted = platform.Halted();
  o.postCodes = platform.PostCodes();
  o.log = platform.log.Entries();
  o.hobs = platform.pei.Hobs();
  o.interruptsEnabled = platform.interruptsEnabled;
  o.droppedWrites = platform.memory.DroppedWrites();
  return o;
}

}  // namespace vplat
