#include "tools/veriflash/inspect_report.h"

#include <fmt/core.h>

#include <algorithm>

#include "module/check/end_of_pei.h"
#include "module/fit/fit.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/module_file.h"

namespace veriflash {
namespace {

constexpr uint32_t REGION_LAST = vplat::REGION_BASE + vplat::REGION_SIZE - 1;

std::string Span(const std::vector<uint8_t>& image, uint32_t first, uint32_t last) {
  return fmt::format("{}-{}  offset {}-{}", Hex(first, 8), Hex(last, 8), Hex(vplat::OffsetOf(image, first), 6),
                     Hex(vplat::OffsetOf(image, last), 6));
}

std::string Point(const std::vector<uint8_t>& image, uint32_t address) {
  if (!vplat::Contains(image, address, 1)) return fmt::format("{:<21}  outside the image", Hex(address, 8));
  return fmt::format("{:<21}  offset {:<17}", Hex(address, 8), Hex(vplat::OffsetOf(image, address), 6));
}

// The header's Address field holds the signature; the others a component address.
std::string RecordAddress(const FitRecordView& r) {
  if (r.index != 0) return Hex(r.address, 16);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(r.address >> (8 * i));
  return Quoted(bytes, 8);
}

nlohmann::json RecordJson(const std::vector<uint8_t>& image, const FitRecordView& r) {
  return {{"index", r.index},
          {"at", WhereJson(image, r.at)},
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

void PrintMap(const InspectSubject& s) {
  const auto& image = s.image;
  const Analysis& a = s.analysis;
  fmt::print("flash map\n");
  fmt::print("  {}  checked region ({} bytes)\n", Span(image, vplat::REGION_BASE, REGION_LAST), Hex(vplat::REGION_SIZE));
  if (s.module)
    fmt::print("  {}  module: PE32 i386, entry {}, {} sections, {} relocations; {}\n",
               Span(image, s.module->base, s.module->base + s.module->size - 1), Hex(s.module->entry, 8),
               s.module->info.sections.size(), s.module->info.relocationCount,
               ShippedComparison(s.identicalToShipped));
  if (a.manifest)
    fmt::print("  {}  boot policy manifest (FIT entry {})\n", Point(image, *a.manifest), *a.manifestEntry);
  if (a.fit)
    fmt::print("  {}  FIT: {} entries, checksum {}\n",
               Span(image, a.fit->address, a.fit->address + std::max(a.fit->count, 1u) * FIT_ENTRY_SIZE - 1), a.fit->count,
               a.fit->checksumValid ? "verified" : "not verified");
  fmt::print("  {}  FIT pointer -> {}\n", Point(image, FIT_POINTER_ADDRESS), Hex(a.fitPointer, 8));
}

void PrintRecords(const InspectSubject& s) {
  const FitView& fit = *s.analysis.fit;
  fmt::print("\nFIT entries (+: checksum-valid bit set)\n  {:>3}  {:<5}  {:<20}  {:<18}  {:<8}  {:<7}  {}\n", "#", "type",
             "name", "address", "size", "version", "record at");
  for (const FitRecordView& r : fit.records) {
    const uint8_t type = r.typeAndFlags & FIT_TYPE_MASK;
    const std::string typeText = Hex(type, 2) + ((r.typeAndFlags & FIT_CHECKSUM_VALID) ? "+" : "");
    fmt::print("  {:>3}  {:<5}  {:<20}  {:<18}  {:<8}  {:<7}  {}\n", r.index, typeText, FitTypeName(type),
               RecordAddress(r), Hex(r.size), Hex(r.version, 4), Where(s.image, r.at));
  }
  if (fit.records.size() < fit.count) fmt::print("  ... {} more entries not listed\n", fit.count - fit.records.size());
}

}  // namespace

InspectSubject Inspected(std::string name, const std::vector<uint8_t>& image, const Analysis& analysis) {
  InspectSubject s{std::move(name), image, analysis, FindPlacedModule(image), std::nullopt};
  if (s.module) s.identicalToShipped = IdenticalToShipped(image, s.module->base, s.module->size);
  return s;
}

std::string FailureReason(const StepResult& step) { return step.summary + ": " + StatusName(step.status); }

nlohmann::json InspectJson(const InspectSubject& s) {
  const auto& image = s.image;
  const Analysis& a = s.analysis;
  nlohmann::json doc;
  doc["image"] = {{"name", s.name}, {"size", image.size()}, {"base", Hex(vplat::ImageBase(image), 8)}};
  doc["region"] = WhereJson(image, vplat::REGION_BASE);
  doc["region"]["size"] = Hex(vplat::REGION_SIZE);
  doc["fitPointer"] = WhereJson(image, FIT_POINTER_ADDRESS);
  doc["fitPointer"]["value"] = Hex(a.fitPointer, 8);
  doc["fit"] = nullptr;
  if (a.fit) {
    doc["fit"] = WhereJson(image, a.fit->address);
    doc["fit"]["entryCount"] = a.fit->count;
    doc["fit"]["checksumValidBit"] = a.fit->checksumValid;
    doc["fit"]["byteSum"] = Hex(a.fit->sum, 2);
    doc["fit"]["entries"] = nlohmann::json::array();
    for (const auto& r : a.fit->records) doc["fit"]["entries"].push_back(RecordJson(image, r));
  }
  doc["manifest"] = nullptr;
  if (a.manifest) {
    doc["manifest"] = WhereJson(image, *a.manifest);
    doc["manifest"]["fitEntry"] = *a.manifestEntry;
  }
  doc["module"] = nullptr;
  if (s.module) {
    doc["module"] = WhereJson(image, s.module->base);
    doc["module"]["entry"] = Hex(s.module->entry, 8);
    doc["module"]["size"] = Hex(s.module->size);
    doc["module"]["relocations"] = s.module->info.relocationCount;
    doc["module"]["identicalToShipped"] =
        s.identicalToShipped ? nlohmann::json(*s.identicalToShipped) : nlohmann::json();
  }
  doc["digest"] = {{"computed", common::HexDigest(a.computed)},
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
  fmt::print("image {}: {}, {}-0xFFFFFFFF\n\n", s.name, SizeText(s.image.size()), Hex(vplat::ImageBase(s.image), 8));
  PrintMap(s);
  if (a.fit) PrintRecords(s);
  fmt::print("\n");
  PrintChecks(s);
}

void PrintChecks(const InspectSubject& s) {
  const Analysis& a = s.analysis;
  fmt::print("digest of the checked region\n  computed   {}\n", common::HexDigest(a.computed));
  if (a.reference)
    fmt::print("  reference  {}  at {}\n", common::HexDigest(*a.reference),
               Where(s.image, *a.manifest + MANIFEST_DIGEST_OFFSET));
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
  if (s.identicalToShipped == false)
    fmt::print("note     the image's module differs from the shipped build; this works the shipped build's check "
               "through, `run` runs the image's own module\n");
}

}  // namespace veriflash
