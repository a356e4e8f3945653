#include "tools/veriflash/module_file.h"

#include <fmt/core.h>

#include <filesystem>

#include "firmware/module_search.h"
#include "module/check/end_of_pei.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/flash_image.h"

namespace veriflash {
namespace {

std::string DefaultModulePath() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw ToolError("cannot locate the running executable to find veriflash.efi beside it; give --module FILE");
  return (self.parent_path() / "veriflash.efi").string();
}

}  // namespace

ModuleFile LoadModule(const std::string& path) {
  ModuleFile module{path, ReadFile(path, "module", MAX_IMAGE_SIZE), {}};
  try {
    module.info = firmware::ReadPe(module.bytes);
  } catch (const firmware::PeError& e) {
    throw ToolError(fmt::format("{}: not a usable module: {}", path, e.what()));
  }
  return module;
}

std::optional<ModuleFile> FindShippedModule() {
  const std::string path = DefaultModulePath();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return LoadModule(path);
}

ModuleFile LoadGivenOrDefaultModule(const std::string& given, const std::string& instead) {
  if (!given.empty()) return LoadModule(given);
  if (auto shipped = FindShippedModule()) return std::move(*shipped);
  throw ToolError(fmt::format("{}: no module beside the tool; give --module FILE, or {}", DefaultModulePath(), instead));
}

std::optional<firmware::PlacedModule> FindPlacedModule(const std::vector<uint8_t>& image) {
  auto found = firmware::FindPlacedModules(image, VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

}  // namespace veriflash
