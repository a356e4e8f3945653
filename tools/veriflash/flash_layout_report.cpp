#include "tools/veriflash/flash_layout_report.h"

#include <fmt/core.h>

#include "firmware/flash_region_overlap.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

std::string Range(const firmware::FlashLayout& layout, const firmware::FlashRegion& r) {
  return Hex(r.first, OffsetDigits(layout)) + "-" + Hex(r.last, OffsetDigits(layout));
}

// "mapped at 0xFF800000-0xFFFFFFFF", or what of a larger BIOS region is.
std::string Mapped(const firmware::FlashLayout& layout) {
  const std::string window = Hex(layout.WindowBase(), 8) + "-0xFFFFFFFF";
  if (layout.WholeBiosMapped()) return "mapped at " + window;
  return fmt::format("only its top {} (file offset {}) are mapped, at {}", SizeText(layout.windowSize),
                     Hex(layout.WindowFileOffset()), window);
}

nlohmann::json RegionJson(const firmware::FlashLayout& layout, const firmware::FlashRegion& r) {
  return {{"index", r.index},    {"name", firmware::FlashRegionName(r.index)}, {"first", Hex(r.first)},
          {"last", Hex(r.last)}, {"size", Hex(r.Size())},                      {"inFile", r.last < layout.fileSize}};
}

std::vector<firmware::FlashRegionOverlap> Overlaps(const firmware::FlashLayout& layout) {
  return layout.descriptor ? firmware::FlashRegionOverlaps(layout.descriptor->regions)
                           : std::vector<firmware::FlashRegionOverlap>{};
}

}  // namespace

std::string DescribeFlashLayout(const firmware::FlashLayout& layout) {
  const bool whole = layout.WholeBiosMapped();
  if (!layout.descriptor)
    return fmt::format("no flash descriptor: the file is a BIOS region of {}{} {}", SizeText(layout.bios.Size()),
                       whole ? "," : ";", Mapped(layout));
  return fmt::format("full flash dump: BIOS region {} ({}){} {}", Range(layout, layout.bios),
                     SizeText(layout.bios.Size()), whole ? "" : ";", Mapped(layout));
}

void PrintFlashLayout(const firmware::FlashLayout& layout) {
  fmt::print("  {}\n", DescribeFlashLayout(layout));
  if (!layout.descriptor) return;
  fmt::print("  flash descriptor: region table at offset {}, {} records; the regions in use:\n",
             Hex(layout.descriptor->regionTable), layout.descriptor->regionRecords);
  for (const firmware::FlashRegion& r : layout.descriptor->regions)
    fmt::print("  {:>4}  {:<14}  {}  {}{}\n", r.index, firmware::FlashRegionName(r.index), Range(layout, r),
               SizeText(r.Size()), r.last < layout.fileSize ? "" : ", beyond the end of the file");
  for (const firmware::FlashRegionOverlap& o : Overlaps(layout))
    fmt::print("  note: the {} region {} and the {} region {} overlap at {}: both claim those bytes\n",
               firmware::FlashRegionName(o.a.index), Range(layout, o.a), firmware::FlashRegionName(o.b.index),
               Range(layout, o.b), Range(layout, {0, o.first, o.last}));
}

nlohmann::json FlashLayoutJson(const firmware::FlashLayout& layout) {
  nlohmann::json doc = {{"descriptor", layout.descriptor.has_value()},
                        {"regionTable", nullptr},
                        {"regions", nlohmann::json::array()},
                        {"bios", RegionJson(layout, layout.bios)},
                        {"window",
                         {{"address", Hex(layout.WindowBase(), 8)},
                          {"size", Hex(layout.windowSize)},
                          {"offset", Hex(layout.WindowFileOffset())},
                          {"biosOffset", Hex(layout.WindowFileOffset() - layout.bios.first)}}},
                        {"wholeBiosMapped", layout.WholeBiosMapped()},
                        {"overlaps", nlohmann::json::array()}};
  for (const firmware::FlashRegionOverlap& o : Overlaps(layout))
    doc["overlaps"].push_back({{"regions", {o.a.index, o.b.index}},
                               {"names", {firmware::FlashRegionName(o.a.index), firmware::FlashRegionName(o.b.index)}},
                               {"first", Hex(o.first)},
                               {"last", Hex(o.last)}});
  if (layout.descriptor) {
    doc["regionTable"] = Hex(layout.descriptor->regionTable);
    for (const auto& r : layout.descriptor->regions) doc["regions"].push_back(RegionJson(layout, r));
  } else {
    doc["regions"].push_back(RegionJson(layout, layout.bios));
  }
  return doc;
}

}  // namespace veriflash
