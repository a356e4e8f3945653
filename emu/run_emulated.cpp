#include "emu/run_emulated.h"

#include <algorithm>

namespace emu {

EmulatedRun Emulate(const vplat::Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  vplat::Scenario placed = scenario;
  const LoadedModule module = PlaceModule(placed.image, efi, options.moduleAddress);
  vplat::Platform platform;
  vplat::Configure(platform, placed);
  Emulator emulator(platform, module, options.budget);

  // Any non-NULL handle will do: the module only tests it against NULL.
  const uint32_t fileHandle = scenario.fileHandle ? module.base : 0;
  const CallResult entry = emulator.Call(module.entry, {fileHandle, vplat::SERVICES_POINTER});
  std::optional<EFI_STATUS> endOfPei;
  if (scenario.signalEndOfPei) endOfPei = platform.pei.SignalEndOfPei();

  EmulatedRun run;
  run.outcome = vplat::Collect(platform, entry.halted ? EFI_SUCCESS : entry.eax, endOfPei);
  run.figures.entryInstructions = entry.instructions;
  run.figures.entryStack = entry.stackUsed;
  run.figures.imageSize = module.size;
  run.figures.selfWrites = emulator.SelfWrites();
  const auto& calls = emulator.Calls();
  for (size_t i = 1; i < calls.size(); ++i) {
    run.figures.endOfPeiInstructions += calls[i].instructions;
    run.figures.endOfPeiStack = std::max(run.figures.endOfPeiStack, calls[i].stackUsed);
  }
  return run;
}

vplat::Outcome RunEmulated(const vplat::Scenario& scenario, const std::vector<uint8_t>& efi,
                           const EmuOptions& options) {
  return Emulate(scenario, efi, options).outcome;
}

}  // namespace emu
