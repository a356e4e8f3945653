#include "tools/veriflash/engine.h"

#include <fmt/core.h>

#include <chrono>

#include "tools/veriflash/flash_text.h"
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

EngineRun RunModule(Engine engine, const runners::Scenario& scenario, const ModuleChoice& module) {
  const auto start = std::chrono::steady_clock::now();
  EngineRun run;
  if (engine == Engine::Qemu) throw ToolError("the qemu engine boots a whole firmware image: use veriflash run IMAGE --engine qemu");
  if (engine == Engine::Native) {
    run.outcome = runners::RunNative(scenario);
  } else {
    try {
      runners::EmuOptions options;
      options.moduleAddress = module.address;
      runners::EmulatedRun emulated = runners::Emulate(scenario, module.efi, options);
      run.outcome = std::move(emulated.outcome);
      run.figures = emulated.figures;
    } catch (const firmware::PeError& e) {
      throw ToolError(fmt::format("{}: cannot place the module at {}: {}", module.path, Hex(module.address, 8), e.what()));
    } catch (const emu::EmuError& e) {
      throw ToolError(fmt::format("{}: the emulated module stopped: {}; --engine native runs the host build", scenario.name,
                                  e.what()));
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

}  // namespace veriflash
