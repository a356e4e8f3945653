// The option group of the commands that run the module (run, demo): which
// engine, which module, and what the platform around it looks like.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/veriflash/engine.h"
#include "tools/veriflash/flash_analysis.h"
#include "runners/scenario.h"

namespace veriflash {

struct PlatformOptions {
  Engine engine = Engine::Emulated;
  vplat::TraceHubMode traceHub = vplat::TraceHubMode::Present;
  bool tscHob = false;  // a TSC frequency HOB exists before the module runs
  std::string module;   // the module file for the emulated engine; empty: see ChooseModule
};

void AddPlatformOptions(CLI::App& command, PlatformOptions& options);

runners::Scenario MakeScenario(const PlatformOptions& options, std::string name, std::vector<uint8_t> image);

// The module the emulated engine runs: --module FILE, else veriflash.efi
// beside the tool; placed where the image already holds a module, else at
// 0xFFD40000, never over the FIT, the manifest or the FIT pointer. Says on
// stderr when that replaces a different module placed in the image.
ModuleChoice ChooseModule(const PlatformOptions& options, const std::string& imageName,
                          const std::vector<uint8_t>& image, const Analysis& analysis);

// "trace hub present, no TSC frequency HOB before the run".
std::string DescribePlatform(const PlatformOptions& options);
const char* TraceHubName(vplat::TraceHubMode mode);

}  // namespace veriflash
