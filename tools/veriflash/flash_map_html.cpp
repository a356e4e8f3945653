#include "tools/veriflash/flash_map_html.h"

#include <fmt/core.h>

#include <algorithm>

#include "firmware/flash_layout.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

// The drawing's geometry in pixels: bands of BAR_HEIGHT across BAR_WIDTH,
// their labels in the left margin.
constexpr double MARGIN = 120;
constexpr double BAR_WIDTH = 640;
constexpr double BAR_HEIGHT = 36;
constexpr double BAND_GAP = 70;
constexpr double MIN_WIDTH = 2;  // an area smaller than this is still seen
constexpr double REGION_NAME_WIDTH = 80;  // room for "BIOS region"
// An area smaller than this part of the window goes into a zoomed band;
// small areas closer than WINDOW / CLUSTER_GAP share one.
constexpr uint64_t SMALL_PART = 100;
constexpr uint64_t CLUSTER_GAP = 32;
constexpr size_t MAX_ZOOM_BANDS = 4;

const char* KindClass(AreaKind kind) {
  switch (kind) {
    case AreaKind::Region: return "region";
    case AreaKind::Volume: return "volume";
    case AreaKind::FreeSpace: return "free";
    case AreaKind::VariableStore: return "vars";
    case AreaKind::CheckedRegion: return "checked";
    case AreaKind::FitPointer: return "pointer";
    case AreaKind::Fit: return "fit";
    case AreaKind::Manifest: return "manifest";
    case AreaKind::Module: return "module";
    case AreaKind::Change: return "change";
  }
  return "area";
}

const char* KindName(AreaKind kind) {
  switch (kind) {
    case AreaKind::Region: return "flash region";
    case AreaKind::Volume: return "firmware volume";
    case AreaKind::FreeSpace: return "free space";
    case AreaKind::VariableStore: return "variable store";
    case AreaKind::CheckedRegion: return "checked region";
    case AreaKind::FitPointer: return "FIT pointer";
    case AreaKind::Fit: return "FIT";
    case AreaKind::Manifest: return "manifest";
    case AreaKind::Module: return "module";
    case AreaKind::Change: return "changed bytes";
  }
  return "";
}

std::string Escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

struct Scale {
  uint64_t first, end;
  double X(uint64_t at) const {
    return MARGIN + BAR_WIDTH * static_cast<double>(at - first) / static_cast<double>(end - first);
  }
};

// One band: its frame, its label and the areas that overlap it, clipped.
void Band(std::string& svg, const char* name, const std::string& label, double y, const Scale& scale,
          const std::vector<MapArea>& areas) {
  svg += fmt::format("<g class=\"band\" data-band=\"{}\">\n", name);
  svg += fmt::format("<rect class=\"frame\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"/>\n", MARGIN, y, BAR_WIDTH, BAR_HEIGHT);
  svg += fmt::format("<text class=\"label\" x=\"4\" y=\"{:.1f}\">{}</text>\n", y + BAR_HEIGHT / 2 + 4, Escaped(label));
  svg += fmt::format("<text class=\"scale\" x=\"{}\" y=\"{:.1f}\">{}</text>\n", MARGIN, y - 4, Hex(scale.first, 8));
  svg += fmt::format("<text class=\"scale end\" x=\"{}\" y=\"{:.1f}\">{}</text>\n", MARGIN + BAR_WIDTH, y - 4,
                     Hex(scale.end - 1, 8));
  for (const MapArea& a : areas) {
    if (a.end <= scale.first || a.first >= scale.end) continue;
    const double x0 = scale.X(std::max(a.first, scale.first));
    const double width = std::max(scale.X(std::min(a.end, scale.end)) - x0, MIN_WIDTH);
    // The checked region is an outline over what it covers; the rest fill.
    const bool outline = a.kind == AreaKind::CheckedRegion;
    svg += fmt::format("<rect class=\"area {}\" x=\"{:.2f}\" y=\"{:.1f}\" width=\"{:.2f}\" height=\"{:.1f}\"><title>{}</title></rect>\n",
                       KindClass(a.kind), x0, outline ? y - 3 : y, width, outline ? BAR_HEIGHT + 6 : BAR_HEIGHT,
                       Escaped(a.label));
    // Regions are few and wide: their names are written on them.
    if (a.kind == AreaKind::Region && width > REGION_NAME_WIDTH)
      svg += fmt::format("<text class=\"name\" x=\"{:.2f}\" y=\"{:.1f}\">{}</text>\n", x0 + 4, y + BAR_HEIGHT / 2 + 4,
                         Escaped(a.label.substr(0, a.label.find(':'))));
  }
  svg += "</g>\n";
}

// Groups of small areas close together, each to be shown in a zoomed band:
// those holding the check's own structures first, then changes alone.
std::vector<Scale> ZoomSpans(const FlashMap& map) {
  const uint64_t window = firmware::FOUR_GIB - map.windowBase;
  std::vector<MapArea> small;
  for (const MapArea& a : map.window)
    if (a.end - a.first < window / SMALL_PART && a.kind != AreaKind::Volume && a.kind != AreaKind::FreeSpace)
      small.push_back(a);
  std::sort(small.begin(), small.end(), [](const MapArea& x, const MapArea& y) { return x.first < y.first; });
  struct Cluster {
    uint64_t first, end;
    bool structure;
  };
  std::vector<Cluster> clusters;
  for (const MapArea& a : small) {
    const bool structure = a.kind != AreaKind::Change;
    if (!clusters.empty() && a.first < clusters.back().end + window / CLUSTER_GAP) {
      clusters.back().end = std::max(clusters.back().end, a.end);
      clusters.back().structure = clusters.back().structure || structure;
    } else {
      clusters.push_back({a.first, a.end, structure});
    }
  }
  std::stable_partition(clusters.begin(), clusters.end(), [](const Cluster& c) { return c.structure; });
  if (clusters.size() > MAX_ZOOM_BANDS) clusters.resize(MAX_ZOOM_BANDS);
  std::sort(clusters.begin(), clusters.end(), [](const Cluster& x, const Cluster& y) { return x.first < y.first; });
  std::vector<Scale> spans;
  for (const Cluster& c : clusters) {
    // A margin of a tenth on each side, at least 64 bytes, inside the window.
    const uint64_t pad = std::max<uint64_t>((c.end - c.first) / 10, 64);
    spans.push_back({std::max<uint64_t>(c.first - std::min<uint64_t>(pad, c.first), map.windowBase),
                     std::min<uint64_t>(c.end + pad, firmware::FOUR_GIB)});
  }
  return spans;
}

constexpr const char* STYLE = R"(body{font-family:sans-serif;margin:16px;color:#222;background:#fff}
.page{display:flex;flex-wrap:wrap;gap:16px;align-items:flex-start}
pre.report{flex:1 1 480px;font-family:monospace;font-size:12px;background:#f6f6f6;padding:8px;margin:0;white-space:pre-wrap;overflow-wrap:anywhere}
svg text{font-family:sans-serif;font-size:11px;fill:#222}
svg text.end{text-anchor:end}
rect.frame{fill:#eee;stroke:#888}
rect.region{fill:#b8c7e0;stroke:#456}
rect.volume{fill:#8fbf8f;stroke:#363}
rect.free{fill:#e8f3e8;stroke:none}
rect.vars{fill:#e6c46f;stroke:#864}
rect.checked{fill:#4060ff;fill-opacity:0.12;stroke:#2040e0;stroke-width:2}
rect.pointer{fill:#000}
rect.fit{fill:#c040c0}
rect.manifest{fill:#ff8c00}
rect.module{fill:#8040ff}
rect.change{fill:#e00000}
polygon.zoom{fill:#999;fill-opacity:0.15;stroke:#999}
rect.area:hover{stroke:#000;stroke-width:2}
text.name{pointer-events:none}
)";

}  // namespace

std::string FlashMapHtml(const FlashMap& map) {
  std::string svg;
  double y = 30;
  if (!map.regions.empty()) {
    Band(svg, "flash", "flash file", y, {0, map.fileSize}, map.regions);
    y += BAR_HEIGHT + BAND_GAP;
  }
  const Scale window{map.windowBase, firmware::FOUR_GIB};
  const double windowY = y;
  Band(svg, "window", "below 4 GiB", y, window, map.window);
  y += BAR_HEIGHT + BAND_GAP;
  // The links from the window to the zoomed bands go first, under the bands.
  std::string links;
  for (const Scale& zoom : ZoomSpans(map)) {
    links += fmt::format("<polygon class=\"zoom\" points=\"{:.2f},{:.1f} {:.2f},{:.1f} {:.2f},{:.1f} {:.2f},{:.1f}\"/>\n",
                       window.X(zoom.first), windowY + BAR_HEIGHT + 3, window.X(zoom.end), windowY + BAR_HEIGHT + 3,
                       MARGIN + BAR_WIDTH, y - 16, MARGIN, y - 16);
    Band(svg, "zoom", "zoomed " + SizeText(zoom.end - zoom.first), y, zoom, map.window);
    y += BAR_HEIGHT + BAND_GAP;
  }
  // The legend: one swatch per kind the map holds.
  std::vector<AreaKind> kinds;
  for (const auto* areas : {&map.regions, &map.window})
    for (const MapArea& a : *areas)
      if (std::find(kinds.begin(), kinds.end(), a.kind) == kinds.end()) kinds.push_back(a.kind);
  double x = MARGIN;
  for (AreaKind kind : kinds) {
    svg += fmt::format("<rect class=\"area {}\" x=\"{:.0f}\" y=\"{:.0f}\" width=\"12\" height=\"12\"/><text x=\"{:.0f}\" y=\"{:.0f}\">{}</text>\n",
                       KindClass(kind), x, y - 30, x + 16, y - 20, KindName(kind));
    x += 30 + 7.0 * std::string(KindName(kind)).size();
  }
  svg = links + svg;
  const double width = std::max(MARGIN + BAR_WIDTH + 60, x);
  return fmt::format(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>{0}</title><style>{1}</style></head>\n"
      "<body><h1>{0}</h1>\n<div class=\"page\">\n"
      "<svg id=\"flash-map\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{2:.0f}\" height=\"{3:.0f}\" viewBox=\"0 0 {2:.0f} {3:.0f}\">\n"
      "{4}</svg>\n<pre class=\"report\">{5}</pre>\n</div></body></html>\n",
      Escaped(map.title), STYLE, width, y, svg, Escaped(map.report));
}

}  // namespace veriflash
