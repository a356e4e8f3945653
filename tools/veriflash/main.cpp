// veriflash: builds, inspects and runs flash images for the end-of-PEI
// integrity check, so a firmware engineer knows before flashing whether the
// board will boot or stop at POST code 0x8F, and why.
#include <fmt/core.h>

#include <CLI/CLI.hpp>
#include <exception>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/tool_error.h"

namespace {

constexpr const char* VERSION = "veriflash 0.1.0";

}  // namespace

int main(int argc, char** argv) {
  using namespace veriflash;
  CLI::App app{
      "veriflash: will this flash image boot, or stop at POST code 0x8F? Builds, inspects and runs images for the "
      "end-of-PEI check of the region 0xFFA70000-0xFFD3FFFF against the boot policy manifest.\n"
      "Exit status: 0 the check passes, 1 it fails, 2 bad usage or an unusable input."};
  app.set_version_flag("--version", VERSION);
  app.get_formatter()->column_width(44);
  app.require_subcommand(1);
  Command chosen;
  SetupDemo(app, chosen);
  SetupImage(app, chosen);
  SetupInspect(app, chosen);
  SetupPackage(app, chosen);
  SetupFirmware(app, chosen);
  SetupRun(app, chosen);

  // The one error boundary: every failure becomes a one-line message on
  // stderr and one of the documented exit statuses.
  try {
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
