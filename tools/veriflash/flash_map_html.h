// A flash map as one self-contained HTML page: an SVG drawing to scale (the
// descriptor's regions, the window below 4 GiB, and zoomed bands for the
// structures too small to see in it), each area titled with its addresses
// and offsets for hover, and the text report beside it. Nothing is loaded
// from elsewhere: no scripts, fonts or style sheets.
#pragma once

#include <string>

#include "tools/veriflash/flash_map.h"

namespace veriflash {

std::string FlashMapHtml(const FlashMap& map);

}  // namespace veriflash
