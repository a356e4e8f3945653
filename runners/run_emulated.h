// Runs a scenario on a module binary: ModuleEntry, then the End-of-PEI
// signal, on a fresh virtual platform with the emulated processor, with the
// same outcome record as RunNative. The module is either placed into the
// scenario's flash first, or already there, or loaded into RAM.
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

// Places `efi` at options.moduleAddress, above the checked region, then runs
// it. Throws firmware::PeError for an unusable module or placement and
// emu::EmuError when the emulator itself fails; whatever the module does
// ends in the outcome.
EmulatedRun Emulate(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options = {});

// Runs the module that the scenario's image holds at options.moduleAddress,
// as it lies there. Throws firmware::PeError when no valid module is there.
EmulatedRun EmulateInPlace(const Scenario& scenario, const EmuOptions& options = {});

// Runs `efi` rebased to options.moduleAddress in RAM, where a PEI core runs a
// PEIM of a volume it decompressed there. The address must leave the
// platform's own data below vplat::STACK_TOP alone and the image end within
// RAM. Throws as Emulate does.
EmulatedRun EmulateInRam(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options);

Outcome RunEmulated(const Scenario& scenario, const std::vector<uint8_t>& efi, const EmuOptions& options = {});

}  // namespace runners
