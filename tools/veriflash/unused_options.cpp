#include "tools/veriflash/unused_options.h"

#include <fmt/core.h>
#include <fmt/format.h>

#include "tools/veriflash/tool_error.h"

namespace veriflash {

void RefuseUnused(const CLI::App& command, const std::vector<std::string>& options, const std::string& why) {
  std::vector<std::string> given;
  for (const std::string& name : options) {
    const CLI::Option* option = command.get_option_no_throw(name);
    if (option != nullptr && option->count() > 0) given.push_back(name);
  }
  if (!given.empty()) throw ToolError(fmt::format("{}: {}", fmt::join(given, ", "), why));
}

void RefuseUnusedByEngine(const CLI::App& command, Engine engine) {
  switch (engine) {
    case Engine::Native:
      RefuseUnused(command, {"--module", "--timeout"},
                   "not used with --engine native, which runs the host build of the module's logic");
      break;
    case Engine::Emulated:
      RefuseUnused(command, {"--timeout"}, "not used with --engine emulated, whose runs end by an instruction budget");
      break;
    case Engine::Qemu:
      RefuseUnused(command, {"--module", "--trace-hub", "--tsc-hob", "--trace"},
                   "not used with --engine qemu, which boots the firmware and module the image holds on QEMU's own "
                   "platform");
      break;
  }
}

}  // namespace veriflash
