// The option group of the commands that run the module (run, demo): which
// engine, which module, and what the platform around it looks like.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/veriflash/engine.h"
#include "runners/scenario.h"

namespace veriflash {

struct PlatformOptions {
  Engine engine = Engine::Emulated;
  vplat::TraceHubMode traceHub = vplat::TraceHubMode::Present;
  bool tscHob = false;  // a TSC frequency HOB exists before the module runs
  std::string module;   // --module: replaces the image's module; empty: see ChooseModule
};

// `qemu`: --engine offers qemu too.
void AddPlatformOptions(CLI::App& command, PlatformOptions& options, bool qemu);

runners::Scenario MakeScenario(const PlatformOptions& options, std::string name, std::vector<uint8_t> image);

// "trace hub present, no TSC frequency HOB before the run".
std::string DescribePlatform(const PlatformOptions& options);
const char* TraceHubName(vplat::TraceHubMode mode);

}  // namespace veriflash
