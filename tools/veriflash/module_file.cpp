#include "tools/veriflash/module_file.h"

#include <fmt/core.h>

#include <filesystem>

#include "tools/veriflash/image_file.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/flash_image.h"

namespace veriflash {
namespace {

// lld-link's /align:32: the finest alignment a module can be placed at.
constexpr uint32_t PLACEMENT_ALIGN = 32;

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
  const size_t start = vplat::OffsetOf(image, vplat::REGION_BASE + vplat::REGION_SIZE);
  for (size_t at = start; at + 2 <= image.size(); at += PLACEMENT_ALIGN) {
    if (image[at] != 'M' || image[at + 1] != 'Z') continue;
    try {
      const std::vector<uint8_t> candidate(image.begin() + static_cast<ptrdiff_t>(at), image.end());
      firmware::PlacedModule module;
      module.info = firmware::ReadPe(candidate);
      module.base = vplat::ImageBase(image) + static_cast<uint32_t>(at);
      module.entry = module.base + module.info.entryRva;
      module.size = module.info.sizeOfImage;
      return module;
    } catch (const firmware::PeError&) {
      // Two bytes that only look like a DOS header.
    }
  }
  return std::nullopt;
}

}  // namespace veriflash
