#include "tools/veriflash/engine.h"

#include <fmt/core.h>

#include <chrono>

#include "firmware/flash_layout.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/tool_error.h"
#include "runners/run_native.h"

namespace veriflash {

const char* EngineName(Engine engine) {
  switch (engine) {
    case Engine::Emulated: return "emulated";
    case Engine::Native: return "native";
    case Engine::Qemu: return "qemu";
  }
  return "?";
}

EngineRun RunModule(Engine engine, const runners::Scenario& scenario, const ModuleChoice* module) {
  const auto start = std::chrono::steady_clock::now();
  EngineRun run;
  if (engine == Engine::Qemu) throw ToolError("the qemu engine boots a whole firmware image: use veriflash run IMAGE --engine qemu");
  if (engine == Engine::Native) {
    run.outcome = runners::RunNative(scenario);
  } else {
    runners::EmuOptions options;
    options.moduleAddress = module->address;
    const std::string& what = module->path.empty() ? scenario.name : module->path;
    try {
      // A module of a volume below the flash runs where the firmware decompressed the volume.
      const bool inRam = module->inVolume && module->address < firmware::FOUR_GIB - scenario.image.size();
      runners::EmulatedRun emulated = inRam ? runners::EmulateInRam(scenario, module->efi, options)
                                      : module->source == ModuleSource::Image
                                          ? runners::EmulateInPlace(scenario, options)
                                          : runners::Emulate(scenario, module->efi, options);
      run.outcome = std::move(emulated.outcome);
      run.figures = emulated.figures;
    } catch (const firmware::PeError& e) {
      throw ToolError(fmt::format("{}: cannot run the module at {}: {}", what, Hex(module->address, 8), e.what()));
    } catch (const emu::EmuError& e) {
      throw ToolError(fmt::format("{}: the emulator failed: {}; --engine native runs the host build", scenario.name,
                                  e.what()));
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

}  // namespace veriflash
