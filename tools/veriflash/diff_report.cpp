#include "tools/veriflash/diff_report.h"

#include <fmt/core.h>

#include "firmware/pi_guid.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

// "1 byte", "2 ranges".
std::string Counted(uint64_t count, const char* what) { return fmt::format("{} {}{}", count, what, count == 1 ? "" : "s"); }

// "checked region, reference digest": the parts of the check a range touches.
std::string PartsText(const CheckParts& p) {
  std::string text;
  auto add = [&](bool on, const char* word) {
    if (on) text += (text.empty() ? "" : ", ") + std::string(word);
  };
  add(p.region, "checked region");
  add(p.fitPointer, "FIT pointer");
  add(p.fit, "FIT");
  add(p.manifest, "manifest");
  add(p.referenceDigest, "reference digest");
  add(p.module, "module");
  add(p.variableStore, "variable store");
  return text;
}

nlohmann::json PartsJson(const CheckParts& p) {
  return {{"checkedRegion", p.region}, {"fitPointer", p.fitPointer},     {"fit", p.fit},
          {"manifest", p.manifest},    {"referenceDigest", p.referenceDigest}, {"module", p.module},
          {"variableStore", p.variableStore}};
}

std::string RangeText(const DiffSubject& s, const DiffRange& r) {
  const uint32_t last = static_cast<uint32_t>(r.address + r.size - 1);
  const std::string where = fmt::format("{}-{}  {}", Hex(r.address, 8), Hex(last, 8), OffsetRange(s.layout, r.address, last));
  std::string inside;
  for (const std::string& part : {r.volume, r.file.empty() ? "" : "file " + r.file, r.section})
    if (!part.empty()) inside += (inside.empty() ? "" : " / ") + part;
  if (r.files > 1) inside += fmt::format(" (and {} more files)", r.files - 1);
  const std::string parts = PartsText(r.parts);
  return fmt::format("  {}  {}{}{}\n", where, Counted(r.size, "byte"), parts.empty() ? "" : "  [" + parts + "]",
                     inside.empty() ? "" : "\n      in " + inside);
}

void FileLines(std::string& out, const ChangedFile& c, int indent) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  out += fmt::format("{}{}: file {}{} {}{}\n", pad, c.volume, firmware::GuidText(c.name),
                     c.uiName.empty() ? "" : " (" + c.uiName + ")", c.change, c.inRegion ? ", in the checked region" : "");
  if (!c.unopened.empty()) out += fmt::format("{}  its insides not compared: {}\n", pad, c.unopened);
  for (const ChangedFile& inner : c.inside) FileLines(out, inner, indent + 4);
}

nlohmann::json FileJson(const ChangedFile& c) {
  nlohmann::json inside = nlohmann::json::array();
  for (const ChangedFile& inner : c.inside) inside.push_back(FileJson(inner));
  return {{"volume", c.volume},
          {"name", firmware::GuidText(c.name)},
          {"uiName", c.uiName.empty() ? nlohmann::json() : nlohmann::json(c.uiName)},
          {"change", c.change},
          {"inCheckedRegion", c.inRegion},
          {"inside", inside},
          {"unopened", c.unopened.empty() ? nlohmann::json() : nlohmann::json(c.unopened)}};
}

const char* Verdict(bool passes) { return passes ? "passes" : "fails"; }

}  // namespace

std::string DiffText(const DiffSubject& s) {
  const ImageDiff& d = s.diff;
  std::string out = fmt::format("{} and {}: ", s.nameA, s.nameB);
  const std::string scope = d.wholeFiles ? "" : " (the BIOS regions only: the dumps are laid out differently)";
  if (d.Identical()) return out + "identical" + scope + "\n";
  out += fmt::format("{} differing in {}{}\n", Counted(d.differingBytes, "byte"), Counted(d.rangeCount, "range"), scope);
  for (const RegionChange& c : d.unmapped)
    out += fmt::format("  file offset {}-{}  {} in {}, in {}\n", Hex(c.first), Hex(c.end - 1), Counted(c.bytes, "byte"),
                       Counted(c.ranges, "range"), c.region == "BIOS" ? "BIOS, below the mapped window" : c.region);
  if (s.layout.descriptor && !d.ranges.empty()) out += "  in the BIOS region, by address:\n";
  for (const DiffRange& r : d.ranges) out += RangeText(s, r);
  const uint64_t unlisted = d.rangeCount - d.ranges.size();
  uint64_t unmapped = 0;
  for (const RegionChange& c : d.unmapped) unmapped += c.ranges;
  if (unlisted > unmapped) out += fmt::format("  ... and {} not listed\n", Counted(unlisted - unmapped, "range"));
  if (d.fileCount > 0) {
    out += fmt::format("\nfiles that differ: {}\n", d.fileCount);
    for (const ChangedFile& c : d.files) FileLines(out, c, 2);
    if (d.files.size() < d.fileCount) out += fmt::format("  ... {} more files not listed\n", d.fileCount - d.files.size());
  }
  out += "\nwhat it means\n";
  for (const std::string& line : DiffMeaning(d)) out += "  " + line + "\n";
  out += fmt::format("\nverdict: {} {}, {} {}\n", s.nameA, Verdict(d.passesA), s.nameB, Verdict(d.passesB));
  return out;
}

nlohmann::json DiffJson(const DiffSubject& s) {
  const ImageDiff& d = s.diff;
  nlohmann::json ranges = nlohmann::json::array();
  for (const DiffRange& r : d.ranges) {
    auto optional = [](const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); };
    ranges.push_back({{"address", Hex(r.address, 8)},
                      {"offset", Hex(r.offset)},
                      {"size", r.size},
                      {"volume", optional(r.volume)},
                      {"file", optional(r.file)},
                      {"section", optional(r.section)},
                      {"files", r.files},
                      {"parts", PartsJson(r.parts)}});
  }
  nlohmann::json unmapped = nlohmann::json::array();
  for (const RegionChange& c : d.unmapped)
    unmapped.push_back({{"region", c.region}, {"ranges", c.ranges}, {"bytes", c.bytes}, {"firstOffset", Hex(c.first)},
                        {"lastOffset", Hex(c.end - 1)}});
  nlohmann::json files = nlohmann::json::array();
  for (const ChangedFile& c : d.files) files.push_back(FileJson(c));
  return {{"a", s.nameA},
          {"b", s.nameB},
          {"identical", d.Identical()},
          {"wholeFiles", d.wholeFiles},
          {"differingBytes", d.differingBytes},
          {"rangeCount", d.rangeCount},
          {"ranges", ranges},
          {"unmapped", unmapped},
          {"fileCount", d.fileCount},
          {"files", files},
          {"parts", PartsJson(d.parts)},
          {"meaning", DiffMeaning(d)},
          {"verdict", {{"a", Verdict(d.passesA)}, {"b", Verdict(d.passesB)}}}};
}

}  // namespace veriflash
