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

struct ModuleChoice;

struct EngineRun {
  runners::Outcome outcome;
  std::optional<runners::EmuFigures> figures;  // emulated runs only
  double seconds = 0;                      // host time the run took
};

// Runs the scenario: the native engine runs the host build; the emulated one
// runs `module` (see ChooseModule), which it needs. A ToolError when the
// module cannot be placed or run, or the emulator itself fails.
EngineRun RunModule(Engine engine, const runners::Scenario& scenario, const ModuleChoice* module);

}  // namespace veriflash
