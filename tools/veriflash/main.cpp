// veriflash: builds, inspects and runs flash images for the end-of-PEI
// integrity check, so a firmware engineer knows before flashing whether the
// board will boot or stop at POST code 0x8F, and why.
#include <fmt/core.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

#include "tools/veriflash/build_info.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/error_document.h"
#include "tools/veriflash/help_format.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/parse_error.h"
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
// group left without a command. Returns the command words it followed
// ("image create"), which parse errors name.
std::string RequireKnownCommands(CLI::App& app, int argc, char** argv) {
  CLI::App* group = &app;
  std::string words;  // the groups' words after "veriflash", each followed by a space
  bool groupOption = false;  // --help or --version of a group, which CLI11 answers
  for (int i = 1; i < argc && !CommandsOf(*group).empty(); ++i) {
    const std::string word = argv[i];
    groupOption = group->get_option_no_throw(word) != nullptr;
    if (groupOption) break;
    const auto commands = CommandsOf(*group);
    const auto found = std::find_if(commands.begin(), commands.end(), [&](CLI::App* c) { return c->check_name(word); });
    if (found == commands.end()) throw Refusal(*group, words, words + word + ": not a command");
    group = *found;
    words += word + " ";
  }
  const std::string command = words.empty() ? words : words.substr(0, words.size() - 1);
  if (groupOption || CommandsOf(*group).empty()) return command;  // a command parses the rest itself
  throw Refusal(*group, words, command.empty() ? "no command given" : command + ": no command given");
}

// The command that parsing chose, whose -v asks for the timing.
const CLI::App* ChosenCommand(const CLI::App& app) {
  const CLI::App* command = &app;
  while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
  return command;
}

bool Verbose(const CLI::App& command) {
  const CLI::Option* verbose = command.get_option_no_throw("--verbose");
  return verbose != nullptr && verbose->count() > 0;
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
  app.formatter(std::make_shared<HelpFormatter>());
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
  // stderr and one of the documented exit statuses; with --json, stdout
  // gets an error document in place of the report.
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> words(argv + 1, argv + argc);
  std::string command;
  int status = EXIT_UNUSABLE;
  const auto refuse = [&](const std::string& error, const std::optional<std::string>& file) {
    fmt::print(stderr, "veriflash: {}\n", error);
    if (WantsJson(words)) PrintJson(ErrorDocument(error, file));
  };
  bool parsed = false;
  try {
    command = RequireKnownCommands(app, argc, argv);
    app.parse(argc, argv);
    parsed = true;
    status = chosen();
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    refuse(ParseErrorLine(e, command), std::nullopt);
  } catch (const ToolError& e) {  // before the command ran, a refusal of the words, not of a file
    refuse(e.what(), parsed ? FileNamed(e.what(), words) : std::nullopt);
  } catch (const std::exception& e) {
    refuse(fmt::format("internal error: {}", e.what()), std::nullopt);
  }
  if (!parsed) return EXIT_UNUSABLE;
  if (Verbose(*ChosenCommand(app)))
    fmt::print(stderr, "veriflash: done in {:.2f} s, exit status {}\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), status);
  return status;
}
