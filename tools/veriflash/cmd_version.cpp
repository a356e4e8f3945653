// veriflash version: what a bug report needs to name this build: the tool's
// version, the commit it was built from and the module it ships, by path and
// SHA-256 (of the file the other commands would use).
#include <fmt/core.h>

#include "common/digest.h"
#include "tools/veriflash/build_info.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/shipped_module_path.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

int RunVersion(bool json) {
  const std::optional<std::string> path = FindShippedModulePath();
  std::string digest;
  if (path) digest = common::HexDigest(common::Sha256(ReadFile(*path, "module", MAX_IMAGE_SIZE)));
  if (json) {
    nlohmann::json module = nullptr;
    if (path) module = {{"path", *path}, {"sha256", digest}};
    PrintJson({{"version", TOOL_VERSION}, {"commit", GIT_COMMIT}, {"module", module}});
    return EXIT_PASS;
  }
  fmt::print("veriflash {}\ncommit  {}\n", TOOL_VERSION, GIT_COMMIT);
  if (path) {
    fmt::print("module  {}\nsha256  {}\n", *path, digest);
  } else {
    const ShippedModulePlaces places = ShippedModuleCandidates();
    fmt::print("module  none: no veriflash.efi beside the tool, nor at {}\n", places.installed);
  }
  return EXIT_PASS;
}

}  // namespace

void SetupVersion(CLI::App& app, Command& chosen) {
  auto json = std::make_shared<bool>(false);
  CLI::App* version = app.add_subcommand(
      "version",
      "Show the tool's version, the git commit it was built from (\"unknown\" outside a git checkout) and the "
      "module it ships: the veriflash.efi beside the tool in a build tree, or in share/veriflash of the prefix it "
      "is installed in, with the file's SHA-256 (none when neither exists). Exit status 0; 2: the module file "
      "cannot be read.");
  version->add_flag("--json", *json, "Write one JSON document to stdout instead of the text");
  version->callback([json, &chosen] { chosen = [json] { return RunVersion(*json); }; });
}

}  // namespace veriflash
