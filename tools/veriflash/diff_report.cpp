#include "tools/veriflash/diff_report.h"

#include <fmt/core.h>

#include "firmware/pi_guid.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

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
  std::string where;
  if (r.address) {
    const uint32_t last = static_cast<uint32_t>(*r.address + r.size - 1);
    where = fmt::format("{}-{}  {}", Hex(*r.address, 8), Hex(last, 8), OffsetRange(s.layout, *r.address, last));
  } else {
    where = fmt::format("file offset {}-{}, not mapped", Hex(r.offset), Hex(r.offset + r.size - 1));
  }
  std::string inside;
  for (const std::string& part : {r.region, r.volume, r.file.empty() ? "" : "file " + r.file, r.section})
    if (!part.empty()) inside += (inside.empty() ? "" : " / ") + part;
  if (r.files > 1) inside += fmt::format(" (and {} more files)", r.files - 1);
  const std::string parts = PartsText(r.parts);
  return fmt::format("  {}  {}{}{}\n", where, SizeText(r.size), parts.empty() ? "" : "  [" + parts + "]",
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
  if (d.Identical()) return out + "identical\n";
  out += fmt::format("{} bytes differ in {} ranges\n", d.differingBytes, d.rangeCount);
  for (const DiffRange& r : d.ranges) out += RangeText(s, r);
  if (d.ranges.size() < d.rangeCount) out += fmt::format("  ... {} more ranges not listed\n", d.rangeCount - d.ranges.size());
  if (d.fileCount > 0) {
    out += fmt::format("\n{} files differ\n", d.fileCount);
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
    ranges.push_back({{"offset", Hex(r.offset)},
                      {"size", r.size},
                      {"address", r.address ? nlohmann::json(Hex(*r.address, 8)) : nlohmann::json()},
                      {"region", optional(r.region)},
                      {"volume", optional(r.volume)},
                      {"file", optional(r.file)},
                      {"section", optional(r.section)},
                      {"files", r.files},
                      {"parts", PartsJson(r.parts)}});
  }
  nlohmann::json files = nlohmann::json::array();
  for (const ChangedFile& c : d.files) files.push_back(FileJson(c));
  return {{"a", s.nameA},
          {"b", s.nameB},
          {"identical", d.Identical()},
          {"differingBytes", d.differingBytes},
          {"rangeCount", d.rangeCount},
          {"ranges", ranges},
          {"fileCount", d.fileCount},
          {"files", files},
          {"parts", PartsJson(d.parts)},
          {"meaning", DiffMeaning(d)},
          {"verdict", {{"a", Verdict(d.passesA)}, {"b", Verdict(d.passesB)}}}};
}

}  // namespace veriflash
