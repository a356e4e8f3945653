#include "tools/veriflash/flash_map.h"

#include <fmt/core.h>

#include <algorithm>

#include "firmware/code_part.h"
#include "firmware/firmware_tree.h"
#include "firmware/pi_guid.h"
#include "module/check/end_of_pei.h"
#include "tools/veriflash/check_structures.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_file.h"

namespace veriflash {
namespace {

// "0xFFB00000-0xFFB0000F (offset 0x300000-0x30000F, 16 bytes)".
std::string Spanned(const firmware::FlashLayout& layout, uint64_t first, uint64_t end) {
  const auto last = static_cast<uint32_t>(end - 1);
  std::string offsets = OffsetRange(layout, static_cast<uint32_t>(first), last);
  offsets.erase(offsets.find_last_not_of(' ') + 1);  // the padding that lines up columns
  const std::string size = end - first == 1 ? "1 byte" : SizeText(end - first);
  return fmt::format("{}-{} ({}, {})", Hex(first, 8), Hex(last, 8), offsets, size);
}

}  // namespace

FlashMap MapOf(std::string title, const FlashFile& file, const Analysis& a, std::string report) {
  const firmware::FlashLayout& layout = file.layout;
  FlashMap map;
  map.title = std::move(title);
  map.fileSize = layout.fileSize;
  map.windowBase = layout.WindowBase();
  map.report = std::move(report);
  if (layout.descriptor)
    for (const auto& r : layout.descriptor->regions)
      map.regions.push_back({AreaKind::Region,
                             fmt::format("{} region: file offset {}-{} ({})", firmware::FlashRegionName(r.index),
                                         Hex(r.first), Hex(r.last), SizeText(r.Size())),
                             r.first, uint64_t{r.last} + 1});

  auto add = [&](AreaKind kind, const std::string& what, uint64_t first, uint64_t end) {
    if (!layout.Maps(static_cast<uint32_t>(std::max<uint64_t>(first, map.windowBase)))) return;
    first = std::max<uint64_t>(first, map.windowBase);
    end = std::min<uint64_t>(end, firmware::FOUR_GIB);
    if (end > first) map.window.push_back({kind, what + ": " + Spanned(layout, first, end), first, end});
  };
  for (const auto& v : firmware::ReadFirmwareTree(file.window).volumes) {
    const uint64_t at = map.windowBase + v.offset;
    if (!v.ffs && v.fileSystem == firmware::VARIABLE_STORE_FILE_SYSTEM_GUID) {
      add(AreaKind::VariableStore, "variable store", at, at + v.size);
      continue;
    }
    const std::string name = firmware::GuidText(v.name.value_or(v.fileSystem));
    add(AreaKind::Volume, fmt::format("volume {}, {} files", name, v.files.size()), at, at + v.size);
    if (v.freeSpace > 0) add(AreaKind::FreeSpace, "free space of volume " + name, at + v.size - v.freeSpace, at + v.size);
  }
  add(AreaKind::CheckedRegion, "checked region", VERIFIED_REGION_BASE, uint64_t{VERIFIED_REGION_BASE} + VERIFIED_REGION_SIZE);
  const auto module = FindPlacedModule(file.window);
  for (const StructureSpan& s : CheckStructures(a, module)) {
    switch (s.what) {
      case CheckStructure::FitPointer: add(AreaKind::FitPointer, "FIT pointer -> " + Hex(a.fitPointer, 8), s.first, s.end); break;
      case CheckStructure::Fit: add(AreaKind::Fit, fmt::format("FIT, {} entries", a.fit->count), s.first, s.end); break;
      case CheckStructure::Manifest:
        add(AreaKind::Manifest, fmt::format("boot policy manifest (FIT entry {})", *a.manifestEntry), s.first, s.end);
        break;
      case CheckStructure::ReferenceDigest: add(AreaKind::Manifest, "reference digest", s.first, s.end); break;
      case CheckStructure::Module: add(AreaKind::Module, fmt::format("module, entry {}", Hex(module->entry, 8)), s.first, s.end); break;
    }
  }
  return map;
}

void AddChanges(FlashMap& map, const FlashFile& file, const ImageDiff& diff) {
  for (const auto& [first, end] : diff.drawn)
    map.window.push_back({AreaKind::Change, "changed: " + Spanned(file.layout, first, end), first, end});
}

}  // namespace veriflash
