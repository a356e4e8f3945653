// Options that the chosen engine or command would ignore are refused, so a
// user never believes that `--module x.efi` ran x.efi when the native engine
// ran the host build.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/veriflash/engine.h"

namespace veriflash {

// A ToolError "--module, --timeout: not used with --engine native, which runs
// the host build" when any of `options` was given to `command`, naming those given.
void RefuseUnused(const CLI::App& command, const std::vector<std::string>& options, const std::string& why);

// What each engine does without, for run and demo: `--module` with native,
// `--timeout` but with qemu, and the platform options and --trace with qemu.
void RefuseUnusedByEngine(const CLI::App& command, Engine engine);

}  // namespace veriflash
