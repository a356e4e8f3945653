#include "tools/veriflash/inspect_report.h"

#include <fmt/core.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "firmware/pi_guid.h"
#include "module/check/end_of_pei.h"
#include "module/fit/fit.h"
#include "tools/veriflash/flash_layout_report.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/module_file.h"

namespace veriflash {
namespace {

constexpr uint32_t REGION_LAST = VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE - 1;

std::string Span(const firmware::FlashLayout& layout, uint32_t first, uint32_t last) {
  if (!layout.Maps(first, uint64_t{last} - first + 1))
    return fmt::format("{}-{}  not wholly in the mapped flash", Hex(first, 8), Hex(last, 8));
  return fmt::format("{}-{}  {}", Hex(first, 8), Hex(last, 8), OffsetRange(layout, first, last));
}

std::string Point(const firmware::FlashLayout& layout, uint32_t address) {
  if (!layout.Maps(address)) return fmt::format("{:<21}  outside the mapped flash", Hex(address, 8));
  return fmt::format("{:<21}  {}", Hex(address, 8), OffsetRange(layout, address, address));
}

// The header's Address field holds the signature; the others a component address.
std::string RecordAddress(const FitRecordView& r) {
  if (r.index != 0) return Hex(r.address, 16);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(r.address >> (8 * i));
  return Quoted(bytes, 8);
}

nlohmann::json RecordJson(const firmware::FlashLayout& layout, const FitRecordView& r) {
  return {{"index", r.index},
          {"at", WhereJson(layout, r.at)},
          {"type", Hex(r.typeAndFlags & FIT_TYPE_MASK, 2)},
          {"typeName", FitTypeName(r.typeAndFlags & FIT_TYPE_MASK)},
          {"checksumValidBit", (r.typeAndFlags & FIT_CHECKSUM_VALID) != 0},
          {"address", RecordAddress(r)},
          {"size", Hex(r.size)},
          {"version", Hex(r.version, 4)},
          {"checksum", Hex(r.checksum, 2)}};
}

nlohmann::json StepJson(const StepResult& s) {
  return {{"step", StepName(s.step)}, {"status", Hex(s.status, 8)}, {"statusName", StatusName(s.status)},
          {"summary", s.summary},     {"detail", s.detail}};
}

// An area of the file: its addresses where the flash maps it.
std::string AreaSpan(const firmware::FlashLayout& layout, const FlashArea& area) {
  const uint64_t windowAt = layout.WindowFileOffset();
  if (area.first >= windowAt && area.last < windowAt + layout.windowSize) {
    const uint32_t first = layout.WindowBase() + static_cast<uint32_t>(area.first - windowAt);
    return Span(layout, first, first + static_cast<uint32_t>(area.last - area.first));
  }
  // Padded to the width of the offsets of a mapped range, so the columns line up.
  const size_t width = OffsetRange(layout, layout.WindowBase(), layout.WindowBase()).size();
  return fmt::format("{:<21}  {:<{}}", "not mapped", fmt::format("file {}-{}", Hex(area.first), Hex(area.last)), width);
}

void PrintMap(const InspectSubject& s) {
  const firmware::FlashLayout& layout = s.analysis.layout;
  const Analysis& a = s.analysis;
  // Lines in address order; what is not mapped comes first.
  std::vector<std::pair<uint64_t, std::string>> lines;
  const auto add = [&](uint64_t address, std::string line) { lines.emplace_back(address, std::move(line)); };
  for (const FlashArea& area : s.areas) {
    const uint64_t windowAt = layout.WindowFileOffset();
    add(area.first >= windowAt ? layout.WindowBase() + (area.first - windowAt) : 0,
        fmt::format("{}  {}", AreaSpan(layout, area), area.what));
  }
  add(VERIFIED_REGION_BASE, fmt::format("{}  checked region ({} bytes)", Span(layout, VERIFIED_REGION_BASE, REGION_LAST),
                                        Hex(VERIFIED_REGION_SIZE)));
  if (s.module)
    add(s.module->base, fmt::format("{}  module: PE32 i386, entry {}, {} sections, {} relocations; {}",
                                    Span(layout, s.module->base, s.module->base + s.module->size - 1),
                                    Hex(s.module->entry, 8), s.module->info.sections.size(),
                                    s.module->info.relocationCount, ShippedComparison(s.identicalToShipped)));
  if (a.manifest)
    add(*a.manifest, fmt::format("{}  boot policy manifest (FIT entry {})", Point(layout, *a.manifest), *a.manifestEntry));
  if (a.fit)
    add(a.fit->address,
        fmt::format("{}  FIT: {} entries, checksum {}",
                    Span(layout, a.fit->address, a.fit->address + std::max(a.fit->count, 1u) * FIT_ENTRY_SIZE - 1),
                    a.fit->count, a.fit->checksumValid ? "verified" : "not verified"));
  add(FIT_POINTER_ADDRESS, fmt::format("{}  FIT pointer -> {}", Point(layout, FIT_POINTER_ADDRESS), Hex(a.fitPointer, 8)));
  std::stable_sort(lines.begin(), lines.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  fmt::print("flash map\n");
  for (const auto& line : lines) fmt::print("  {}\n", line.second);
}

void PrintModulesInVolumes(const InspectSubject& s) {
  fmt::print("\nmodules in firmware volumes\n");
  for (const ModuleChoice& m : s.inVolumes) {
    const VolumePlace& v = *m.inVolume;
    fmt::print("  file {}{}\n", firmware::GuidText(v.file), v.uiName.empty() ? "" : " (" + v.uiName + ")");
    fmt::print("    volume   {}\n", v.volume ? firmware::GuidText(*v.volume) : "without a name");
    fmt::print("    in       {}\n", fmt::join(v.path, " > "));
    fmt::print("    PE32     section at {} of the file's data, {} bytes of image\n", Hex(v.sectionOffset), Hex(m.size));
    fmt::print("    runs at  {}, entry {}{}\n", Hex(m.address, 8), Hex(m.address + firmware::ReadPe(m.efi).entryRva, 8),
               v.inPlaceKnown ? "" : " (its own ImageBase: the volume's base is not known)");
    fmt::print("    how      {}\n", RunsWhere(m));
    fmt::print("    build    {}\n", ShippedComparison(m.identicalToShipped));
  }
}

void PrintRecords(const InspectSubject& s) {
  const FitView& fit = *s.analysis.fit;
  fmt::print("\nFIT entries (+: checksum-valid bit set)\n  {:>3}  {:<5}  {:<20}  {:<18}  {:<8}  {:<7}  {}\n", "#", "type",
             "name", "address", "size", "version", "record at");
  for (const FitRecordView& r : fit.records) {
    const uint8_t type = r.typeAndFlags & FIT_TYPE_MASK;
    const std::string typeText = Hex(type, 2) + ((r.typeAndFlags & FIT_CHECKSUM_VALID) ? "+" : "");
    fmt::print("  {:>3}  {:<5}  {:<20}  {:<18}  {:<8}  {:<7}  {}\n", r.index, typeText, FitTypeName(type),
               RecordAddress(r), Hex(r.size), Hex(r.version, 4), Where(s.analysis.layout, r.at));
  }
  if (fit.records.size() < fit.count) fmt::print("  ... {} more entries not listed\n", fit.count - fit.records.size());
}

}  // namespace

InspectSubject Inspected(std::string name, const std::vector<uint8_t>& window, const Analysis& analysis) {
  InspectSubject s{std::move(name), analysis, std::nullopt, std::nullopt, {}, FlashAreas(analysis.layout, window)};
  for (ModuleChoice& m : ImageModules(window)) {
    if (m.inVolume) {
      s.inVolumes.push_back(std::move(m));
    } else {
      s.module = FindPlacedModule(window);
      s.identicalToShipped = m.identicalToShipped;
    }
  }
  return s;
}

std::string FailureReason(const StepResult& step) { return step.summary + ": " + StatusName(step.status); }

nlohmann::json InspectJson(const InspectSubject& s) {
  const firmware::FlashLayout& layout = s.analysis.layout;
  const Analysis& a = s.analysis;
  nlohmann::json doc;
  doc["image"] = {{"name", s.name}, {"size", layout.fileSize}, {"base", Hex(layout.WindowBase(), 8)}};
  doc["flash"] = FlashLayoutJson(layout);
  doc["region"] = WhereJson(layout, VERIFIED_REGION_BASE);
  doc["region"]["size"] = Hex(VERIFIED_REGION_SIZE);
  doc["region"]["wholeMapped"] = HoldsRegion(layout);
  doc["fitPointer"] = WhereJson(layout, FIT_POINTER_ADDRESS);
  doc["fitPointer"]["value"] = Hex(a.fitPointer, 8);
  doc["fit"] = nullptr;
  if (a.fit) {
    doc["fit"] = WhereJson(layout, a.fit->address);
    doc["fit"]["entryCount"] = a.fit->count;
    doc["fit"]["checksumValidBit"] = a.fit->checksumValid;
    doc["fit"]["byteSum"] = Hex(a.fit->sum, 2);
    doc["fit"]["entries"] = nlohmann::json::array();
    for (const auto& r : a.fit->records) doc["fit"]["entries"].push_back(RecordJson(layout, r));
  }
  doc["manifest"] = nullptr;
  if (a.manifest) {
    doc["manifest"] = WhereJson(layout, *a.manifest);
    doc["manifest"]["fitEntry"] = *a.manifestEntry;
  }
  doc["module"] = nullptr;
  if (s.module) {
    doc["module"] = WhereJson(layout, s.module->base);
    doc["module"]["entry"] = Hex(s.module->entry, 8);
    doc["module"]["size"] = Hex(s.module->size);
    doc["module"]["relocations"] = s.module->info.relocationCount;
    doc["module"]["identicalToShipped"] =
        s.identicalToShipped ? nlohmann::json(*s.identicalToShipped) : nlohmann::json();
  }
  doc["modulesInVolumes"] = nlohmann::json::array();
  for (const ModuleChoice& m : s.inVolumes) doc["modulesInVolumes"].push_back(ModuleJson(layout, m));
  doc["areas"] = nlohmann::json::array();
  for (const FlashArea& area : s.areas)
    doc["areas"].push_back({{"first", Hex(area.first)}, {"last", Hex(area.last)}, {"what", area.what}});
  doc["digest"] = {{"computed", a.computed ? nlohmann::json(common::HexDigest(*a.computed)) : nlohmann::json()},
                   {"reference", a.reference ? nlohmann::json(common::HexDigest(*a.reference)) : nlohmann::json()}};
  doc["steps"] = nlohmann::json::array();
  for (const auto& step : a.steps) doc["steps"].push_back(StepJson(step));
  doc["verdict"] = runners::VerdictWord(VerdictOf(a));
  doc["failure"] = nullptr;
  if (!a.Passes()) {
    doc["failure"] = StepJson(a.steps.back());
    doc["failure"]["reason"] = FailureReason(a.steps.back());
  }
  return doc;
}

void PrintInspect(const InspectSubject& s) {
  const Analysis& a = s.analysis;
  fmt::print("image {}: {}, {}-0xFFFFFFFF\n", s.name, SizeText(a.layout.fileSize), Hex(a.layout.WindowBase(), 8));
  PrintFlashLayout(a.layout);
  fmt::print("\n");
  PrintMap(s);
  if (!s.inVolumes.empty()) PrintModulesInVolumes(s);
  if (a.fit) PrintRecords(s);
  fmt::print("\n");
  PrintChecks(s);
}

void PrintChecks(const InspectSubject& s) {
  const Analysis& a = s.analysis;
  fmt::print("digest of the checked region\n  computed   {}\n",
             a.computed ? common::HexDigest(*a.computed) : "none: the mapped flash does not hold the whole region");
  if (a.reference)
    fmt::print("  reference  {}  at {}\n", common::HexDigest(*a.reference),
               Where(a.layout, *a.manifest + MANIFEST_DIGEST_OFFSET));
  else
    fmt::print("  reference  not reached\n");
  fmt::print("\ncheck\n");
  for (const auto& step : a.steps) {
    const bool ok = !EfiError(step.status);
    fmt::print("  {:<4}  {:<18}  {}\n", ok ? "ok" : "FAIL", StepName(step.step), ok ? step.summary : FailureReason(step));
    if (!step.detail.empty()) fmt::print("  {:<4}  {:<18}  {}\n", "", "", step.detail);
  }
  if (a.Passes()) {
    fmt::print("\nverdict  {}: the module lets the boot continue\n", runners::VerdictHeading(VerdictOf(a)));
  } else {
    fmt::print("\nverdict  {} at {}: {}\n", runners::VerdictHeading(VerdictOf(a)), StepName(a.steps.back().step),
               FailureReason(a.steps.back()));
    fmt::print("         the module would write POST code 0x{:02X} to port 0x{:02X}, send its trace line and halt\n",
               POST_CODE_VERIFY_FAILED, POST_CODE_PORT);
  }
  const bool ownDiffers = s.identicalToShipped == false ||
                          std::any_of(s.inVolumes.begin(), s.inVolumes.end(),
                                      [](const ModuleChoice& m) { return m.identicalToShipped == false; });
  if (ownDiffers)
    fmt::print("note     the image's module differs from the shipped build; this works the shipped build's check "
               "through, `run` runs the image's own module\n");
}

}  // namespace veriflash
