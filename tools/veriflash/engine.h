// The two ways the tool runs the module on an image: the real veriflash.efi
// on the emulated processor, or the host build of the same logic on the
// virtual platform. Both give a runners::Outcome, so one report serves both.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firmware/pe_image.h"
#include "runners/run_emulated.h"
#include "runners/scenario.h"

namespace veriflash {

// Qemu boots the image in real firmware instead (see qemu_run.h): RunModule
// does not take it.
enum class Engine { Emulated, Native, Qemu };

const char* EngineName(Engine engine);  // "emulated", "native" or "qemu"

// The module file the emulated engine places, and where.
struct ModuleChoice {
  std::string path;
  std::vector<uint8_t> efi;
  uint32_t address = 0;
};

struct EngineRun {
  runners::Outcome outcome;
  std::optional<runners::EmuFigures> figures;  // emulated runs only
  double seconds = 0;                      // host time the run took
};

// Runs the scenario; the native engine leaves `module` unused. A ToolError
// when the emulator cannot place or run the module.
EngineRun RunModule(Engine engine, const runners::Scenario& scenario, const ModuleChoice& module);

}  // namespace veriflash
