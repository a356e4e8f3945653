// What a flash map shows of an image, to scale: the descriptor's regions by
// file offset (full dumps), and in the window that ends at 4 GiB the firmware
// volumes with their free space, the checked region, the FIT pointer, the
// FIT, the manifest, the placed module and, for a comparison, the changed
// ranges. Drawn by flash_map_html.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/image_diff.h"

namespace veriflash {

enum class AreaKind { Region, Volume, FreeSpace, VariableStore, CheckedRegion, FitPointer, Fit, Manifest, Module, Change };

struct MapArea {
  AreaKind kind;
  std::string label;  // what a person reads on hover, with its addresses and offsets
  uint64_t first = 0;
  uint64_t end = 0;  // exclusive
};

struct FlashMap {
  std::string title;
  uint64_t fileSize = 0;
  std::vector<MapArea> regions;  // by file offset; empty for a file that is a BIOS region
  uint32_t windowBase = 0;
  std::vector<MapArea> window;  // by address, drawn in this order
  std::string report;           // the text report shown beside the map
};

// The map of an image and its analysis, with `report` beside it.
FlashMap MapOf(std::string title, const FlashFile& file, const Analysis& analysis, std::string report);

// Adds the ranges where the images differ.
void AddChanges(FlashMap& map, const FlashFile& file, const ImageDiff& diff);

}  // namespace veriflash
