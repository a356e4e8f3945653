// The subcommands. Each file holds a command's options struct, a setup
// function that binds them to the parser, and a run function that does the
// work; setup hands main the run to call once parsing has succeeded.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace veriflash {

// The chosen command's work; returns the exit status.
using Command = std::function<int()>;

void SetupDemo(CLI::App& app, Command& chosen);
void SetupDiff(CLI::App& app, Command& chosen);
void SetupFirmware(CLI::App& app, Command& chosen);
// `firmware list`, under the `firmware` command.
void SetupFirmwareList(CLI::App& group, Command& chosen);
// `firmware extract`, under the `firmware` command.
void SetupFirmwareExtract(CLI::App& group, Command& chosen);
void SetupImage(CLI::App& app, Command& chosen);
// `image stamp`, under the `image` command.
void SetupImageStamp(CLI::App& image, Command& chosen);
void SetupInspect(CLI::App& app, Command& chosen);
void SetupPackage(CLI::App& app, Command& chosen);
void SetupRun(CLI::App& app, Command& chosen);
void SetupVersion(CLI::App& app, Command& chosen);

}  // namespace veriflash
