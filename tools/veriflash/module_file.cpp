#include "tools/veriflash/module_file.h"

#include <fmt/core.h>

#include "common/hex.h"
#include "firmware/module_search.h"
#include "module/check/end_of_pei.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/shipped_module_path.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/flash_image.h"

namespace veriflash {

using common::Hex;

namespace {

// Above the checked region and below the FIT pointer: the most any module
// placed by the tool, or run by its engines, can take.
constexpr uint32_t MODULE_ROOM = vplat::FIT_POINTER - (VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE);

}  // namespace

firmware::PeInfo AcceptModule(std::span<const uint8_t> efi) {
  firmware::PeInfo info = firmware::ReadPe(efi);
  if (info.sizeOfImage > MODULE_ROOM)
    throw firmware::PeError(fmt::format("SizeOfImage {} is more than the {} bytes a module has above the checked "
                                        "region",
                                        Hex(info.sizeOfImage), Hex(MODULE_ROOM)));
  return info;
}

ModuleFile LoadModule(const std::string& path) {
  ModuleFile module{path, ReadFile(path, "module", MAX_IMAGE_SIZE), {}};
  try {
    module.info = AcceptModule(module.bytes);
  } catch (const firmware::PeError& e) {
    throw ToolError(fmt::format("{}: not a usable module: {}", path, e.what()));
  }
  return module;
}

std::optional<ModuleFile> FindShippedModule() {
  const std::optional<std::string> path = FindShippedModulePath();
  if (!path) return std::nullopt;
  return LoadModule(*path);
}

ModuleFile LoadGivenOrDefaultModule(const std::string& given, const std::string& instead) {
  if (!given.empty()) return LoadModule(given);
  if (auto shipped = FindShippedModule()) return std::move(*shipped);
  const ShippedModulePlaces places = ShippedModuleCandidates();
  throw ToolError(fmt::format("{}: no module beside the tool, nor at {}; give --module FILE, or {}", places.besideTool,
                              places.installed, instead));
}

std::optional<firmware::PlacedModule> FindPlacedModule(const std::vector<uint8_t>& image) {
  auto found = firmware::FindPlacedModules(image, VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

}  // namespace veriflash
