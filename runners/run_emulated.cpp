#include "runners/run_emulated.h"

#include <algorithm>

#include "common/hex.h"
#include "firmware/pe_image.h"
#include "module/check/end_of_pei.h"

namespace runners {

EmulatedRun Emulate(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  // Placed inside the checked region the module would change what it hashes.
  constexpr uint32_t regionEnd = VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE;
  if (options.moduleAddress < regionEnd)
    throw firmware::PeError("module address " + common::Hex(options.moduleAddress) +
                            " lies below the end of the checked region " + common::Hex(regionEnd));
  Scenario placed = scenario;
  const firmware::PlacedModule module = firmware::PlaceModule(placed.image, efi, options.moduleAddress);
  vplat::Platform platform;
  Configure(platform, placed);
  emu::Emulator emulator(platform, {module.base, module.size}, options.budget);

  // Any non-NULL handle will do: the module only tests it against NULL.
  const uint32_t fileHandle = scenario.fileHandle ? module.base : 0;
  const emu::CallResult entry = emulator.Call(module.entry, {fileHandle, vplat::SERVICES_POINTER});
  std::optional<EFI_STATUS> endOfPei;
  if (!entry.halted && scenario.signalEndOfPei) endOfPei = platform.pei.SignalEndOfPei();

  EmulatedRun run;
  run.outcome = Collect(platform, entry.halted ? std::nullopt : std::optional<EFI_STATUS>(entry.eax), endOfPei);
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

Outcome RunEmulated(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  return Emulate(scenario, efi, options).outcome;
}

}  // namespace runners
