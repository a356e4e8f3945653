// Runs a scenario on the shipped module binary: the .efi placed to run in
// place in the scenario's flash, ModuleEntry, then the End-of-PEI signal, on
// a fresh virtual platform, with the same outcome record as RunNative.
#pragma once

#include <cstdint>
#include <vector>

#include "emu/emulator.h"
#include "runners/scenario.h"
#include "vplat/flash_image.h"

namespace runners {

struct EmuOptions {
  emu::Budget budget;
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
  Outcome outcome;
  EmuFigures figures;
};

// Throws firmware::PeError for an unusable module or placement and
// emu::EmuError for a fault or a budget overrun.
EmulatedRun Emulate(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options = {});

Outcome RunEmulated(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options = {});

}  // namespace runners
