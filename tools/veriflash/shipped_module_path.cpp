#include "tools/veriflash/shipped_module_path.h"

#include <filesystem>

#include "tools/veriflash/tool_error.h"

namespace veriflash {

ShippedModulePlaces ShippedModuleCandidates() {
  std::error_code error;
  // /proc/self/exe resolves symbolic links, so a link to the tool in another
  // folder still finds the prefix the tool itself was installed in.
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw ToolError("cannot locate the running executable, to find the module it ships; give --module FILE");
  const std::filesystem::path dir = self.parent_path();
  // VERIFLASH_DATA_FROM_BIN: the data folder relative to the executable's
  // folder, from the build's install directories.
  return {(dir / "veriflash.efi").string(),
          (dir / VERIFLASH_DATA_FROM_BIN / "veriflash.efi").lexically_normal().string()};
}

std::optional<std::string> FindShippedModulePath() {
  const ShippedModulePlaces places = ShippedModuleCandidates();
  std::error_code error;
  for (const std::string& path : {places.besideTool, places.installed}) {
    if (std::filesystem::exists(path, error)) return path;
  }
  return std::nullopt;
}

}  // namespace veriflash
