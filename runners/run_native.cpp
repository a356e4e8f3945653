#include "runners/run_native.h"

#include "module/check/end_of_pei.h"

namespace runners {

Outcome RunNative(const Scenario& scenario) {
  vplat::Platform platform;
  Configure(platform, scenario);
  return RunNativeOn(platform, scenario);
}

Outcome RunNativeOn(vplat::Platform& platform, const Scenario& scenario) {
  vplat::ScopedPlatform scope(platform);
  // Any non-NULL handle will do: the module only tests it against NULL.
  static int fileHandle;
  std::optional<EFI_STATUS> entry = ModuleEntry(scenario.fileHandle ? &fileHandle : nullptr, nullptr);
  // A halt inside the entry is released like any other, but the entry never returned.
  if (platform.Halted()) entry.reset();
  std::optional<EFI_STATUS> endOfPei;
  if (entry && scenario.signalEndOfPei) endOfPei = platform.pei.SignalEndOfPei();
  return Collect(platform, entry, endOfPei);
}

}  // namespace runners
