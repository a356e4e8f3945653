// Runs a scenario on the shipped module binary: the .efi placed in place in
// the scenario's flash, ModuleEntry, then the End-of-PEI signal, on a fresh
// virtual platform, with the same outcome record as vplat::RunNative.
#pragma once

#include <cstdint>
#include <vector>

#include "emu/emulator.h"
#include "vplat/flash_image.h"
#include "vplat/scenario.h"

namespace emu {

struct EmuOptions {
  Budget budget;
  uint32_t moduleAddress = vplat::DEFAULT_MODULE_ADDRESS;
};

// What the run cost the processor.
struct EmuFigures {
  uint64_t entryInstructions = 0;
  uint64_t endOfPeiInstructions = 0;  // all notifications together
  uint32_t entryStack = 0;            // deepest stack use, bytes
  uint32_t endOfPeiStack = 0;
  uint32_t imageSize = 0;             // SizeOfImage
  uint64_t selfWrites = 0;            // writes into the module's own image, dropped by flash
};

struct EmulatedRun {
  vplat::Outcome outcome;
  EmuFigures figures;
};

// Throws PeError for an unusable image and EmuError for a fault or a budget overrun.
EmulatedRun Emulate(const vplat::Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options = {});

vplat::Outcome RunEmulated(const vplat::Scenario& scenario, const std::vector<uint8_t>& efi,
                           const EmuOptions& options = {});

}  // namespace emu
