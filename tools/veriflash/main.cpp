// veriflash: builds, inspects and runs flash images for the end-of-PEI
// integrity check, so a firmware engineer knows before flashing whether the
// board will boot or stop at POST code 0x8F, and why.
#include <fmt/core.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>

#include "tools/veriflash/build_info.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/tool_error.h"

namespace {

using veriflash::ToolError;

// The commands under `group`; CLI11 keeps option groups among them, nameless.
std::vector<CLI::App*> CommandsOf(CLI::App& group) {
  return group.get_subcommands([](CLI::App* c) { return !c->get_name().empty(); });
}

// --version on every command, not only the first word: `veriflash inspect
// --version` answers before the command's missing arguments are noticed.
void AddVersionFlags(CLI::App& app, const std::string& line) {
  app.set_version_flag("--version", line);
  for (CLI::App* command : CommandsOf(app)) AddVersionFlags(*command, line);
}

// "WHAT; the image commands are: create, stamp", in the order --help lists them.
ToolError Refusal(CLI::App& group, const std::string& words, const std::string& what) {
  std::string names;
  for (const CLI::App* command : CommandsOf(group)) names += (names.empty() ? "" : ", ") + command->get_name();
  return ToolError(fmt::format("{}; the {}commands are: {}", what, words, names));
}

// The word after a command group (`veriflash`, `veriflash image`) must name
// one of its commands; CLI11 answers anything else with "A subcommand is
// required", naming neither the word nor the commands. Follows the words
// down the command tree and refuses, in one line, the first that is neither
// a command nor an option (--help, --version) of the group it reaches, or a
// group left without a command.
void RequireKnownCommands(CLI::App& app, int argc, char** argv) {
  CLI::App* group = &app;
  std::string words;  // the groups' words after "veriflash", each followed by a space
  for (int i = 1; i < argc && !CommandsOf(*group).empty(); ++i) {
    const std::string word = argv[i];
    if (group->get_option_no_throw(word) != nullptr) return;
    const auto commands = CommandsOf(*group);
    const auto found = std::find_if(commands.begin(), commands.end(), [&](CLI::App* c) { return c->check_name(word); });
    if (found == commands.end()) throw Refusal(*group, words, words + word + ": not a command");
    group = *found;
    words += word + " ";
  }
  if (CommandsOf(*group).empty()) return;  // a command, which parses the rest itself
  const std::string what = words.empty() ? "no command given" : words.substr(0, words.size() - 1) + ": no command given";
  throw Refusal(*group, words, what);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veriflash;
  // Named, so that every usage line says "veriflash", not the path it was run by.
  CLI::App app{
      "veriflash: will this flash image boot, or stop at POST code 0x8F? Builds, inspects and runs images for the "
      "end-of-PEI check of the region 0xFFA70000-0xFFD3FFFF against the boot policy manifest.\n"
      "Exit status: 0 the check passes, 1 it fails, 2 bad usage or an unusable input.",
      "veriflash"};
  app.get_formatter()->column_width(44);
  app.require_subcommand(1);
  Command chosen;
  SetupDemo(app, chosen);
  SetupImage(app, chosen);
  SetupInspect(app, chosen);
  SetupDiff(app, chosen);
  SetupPackage(app, chosen);
  SetupFirmware(app, chosen);
  SetupRun(app, chosen);
  SetupVersion(app, chosen);
  AddVersionFlags(app, fmt::format("veriflash {}", TOOL_VERSION));

  // The one error boundary: every failure becomes a one-line message on
  // stderr and one of the documented exit statuses.
  try {
    RequireKnownCommands(app, argc, argv);
    app.parse(argc, argv);
    return chosen();
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? EXIT_PASS : EXIT_UNUSABLE;
  } catch (const ToolError& e) {
    fmt::print(stderr, "veriflash: {}\n", e.what());
  } catch (const std::exception& e) {
    fmt::print(stderr, "veriflash: internal error: {}\n", e.what());
  }
  return EXIT_UNUSABLE;
}
