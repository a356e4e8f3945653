#include "runners/run_emulated.h"

#include <algorithm>
#include <span>

#include "common/hex.h"
#include "firmware/pe_image.h"
#include "module/check/end_of_pei.h"

namespace runners {
namespace {

using emu::CallResult;

// Ends the outcome of a call that did not return: a halt or a stop.
void NoteEnd(const CallResult& call, Outcome& outcome) {
  if (call.end == CallResult::End::Returned) return;
  outcome.stopped = call.end == CallResult::End::Stopped;
  outcome.endDetail = call.detail;
}

// `inRam`, when not empty, is the module's image to load at module.base in RAM.
EmulatedRun Run(const Scenario& scenario, const firmware::PlacedModule& module, const emu::Budget& budget,
                std::span<const uint8_t> inRam = {}) {
  vplat::Platform platform;
  Configure(platform, scenario);
  if (!inRam.empty()) std::copy(inRam.begin(), inRam.end(), platform.memory.Ram(module.base, module.size));
  emu::Emulator emulator(platform, {module.base, module.size}, budget);

  // Any non-NULL handle will do: the module only tests it against NULL.
  const uint32_t fileHandle = scenario.fileHandle ? module.base : 0;
  const CallResult entry = emulator.Call(module.entry, {fileHandle, vplat::SERVICES_POINTER});
  const bool entryReturned = entry.end == CallResult::End::Returned;
  std::optional<EFI_STATUS> endOfPei;
  if (entryReturned && scenario.signalEndOfPei) endOfPei = platform.pei.SignalEndOfPei();

  EmulatedRun run;
  run.outcome = Collect(platform, entryReturned ? std::optional<EFI_STATUS>(entry.eax) : std::nullopt, endOfPei);
  for (const CallResult& call : emulator.Calls()) NoteEnd(call, run.outcome);
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

}  // namespace

EmulatedRun Emulate(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  // Placed inside the checked region the module would change what it hashes.
  constexpr uint32_t regionEnd = VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE;
  if (options.moduleAddress < regionEnd)
    throw firmware::PeError("module address " + common::Hex(options.moduleAddress) +
                            " lies below the end of the checked region " + common::Hex(regionEnd));
  Scenario placed = scenario;
  const firmware::PlacedModule module = firmware::PlaceModule(placed.image, efi, options.moduleAddress);
  return Run(placed, module, options.budget);
}

EmulatedRun EmulateInPlace(const Scenario& scenario, const EmuOptions& options) {
  const uint64_t base = 0x100000000ull - scenario.image.size();
  if (options.moduleAddress < base)
    throw firmware::PeError("module address " + common::Hex(options.moduleAddress) + " lies outside the image");
  const std::span<const uint8_t> from(scenario.image.data() + (options.moduleAddress - base),
                                      scenario.image.size() - (options.moduleAddress - base));
  firmware::PlacedModule module;
  module.info = firmware::ReadPe(from);
  if (module.info.sizeOfImage > from.size())
    throw firmware::PeError("module of " + common::Hex(module.info.sizeOfImage) + " bytes at " +
                            common::Hex(options.moduleAddress) + " runs past 4 GiB");
  module.base = options.moduleAddress;
  module.entry = module.base + module.info.entryRva;
  module.size = module.info.sizeOfImage;
  return Run(scenario, module, options.budget);
}

EmulatedRun EmulateInRam(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  firmware::PlacedModule module;
  module.info = firmware::ReadPe(efi);
  if (options.moduleAddress < vplat::STACK_TOP ||
      uint64_t{options.moduleAddress} + module.info.sizeOfImage > vplat::RAM_SIZE)
    throw firmware::PeError("module of " + common::Hex(module.info.sizeOfImage) + " bytes at " +
                            common::Hex(options.moduleAddress) + " does not lie in the RAM free for it (" +
                            common::Hex(vplat::STACK_TOP) + "-" + common::Hex(vplat::RAM_SIZE - 1) + ")");
  const std::vector<uint8_t> image = firmware::RebasePe(efi, options.moduleAddress);
  module.base = options.moduleAddress;
  module.entry = module.base + module.info.entryRva;
  module.size = module.info.sizeOfImage;
  return Run(scenario, module, options.budget, image);
}

Outcome RunEmulated(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options) {
  return Emulate(scenario, efi, options).outcome;
}

}  // namespace runners
