#include "tools/veriflash/image_diff.h"

#include <fmt/core.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <span>

#include "firmware/code_part.h"
#include "firmware/ffs_file.h"
#include "firmware/firmware_error.h"
#include "firmware/firmware_tree.h"
#include "firmware/firmware_volume.h"
#include "firmware/lzma_stream.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"
#include "module/check/end_of_pei.h"
#include "module/fit/fit.h"
#include "tools/veriflash/check_structures.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

using firmware::PiGuid;
using Bytes = std::span<const uint8_t>;

// Nested volumes are opened this many levels down; firmware nests two or three.
constexpr int MAX_DIFF_DEPTH = 4;
// Equal blocks are skipped with memcmp; only a block that differs is walked byte by byte.
constexpr size_t SKIP_BLOCK = 256;
// A map draws the window in at most this many distinguishable steps.
constexpr uint64_t MAP_RESOLUTION = 4096;

struct Span {
  uint64_t first = 0;
  uint64_t end = 0;  // exclusive
  uint64_t differing = 0;  // bytes, of a range found by FindRanges
  bool Overlaps(uint64_t f, uint64_t e) const { return f < end && first < e; }
};

// The differing ranges of two equally long spans, merged across gaps of up
// to DIFF_MERGE_GAP equal bytes, with `base` added to their offsets.
void FindRanges(Bytes a, Bytes b, uint64_t base, std::vector<Span>& out, uint64_t& differing) {
  const size_t n = a.size();
  size_t i = 0;
  while (true) {
    while (i + SKIP_BLOCK <= n && std::memcmp(&a[i], &b[i], SKIP_BLOCK) == 0) i += SKIP_BLOCK;
    while (i < n && a[i] == b[i]) ++i;
    if (i >= n) return;
    size_t last = i;
    uint64_t count = 1;
    for (size_t j = i + 1; j < n && j - last <= DIFF_MERGE_GAP; ++j)
      if (a[j] != b[j]) {
        last = j;
        ++count;
      }
    out.push_back({base + i, base + last + 1, count});
    differing += count;
    i = last + 1;
  }
}

bool IsVariableStore(const firmware::TreeVolume& v) {
  return !v.ffs && v.fileSystem == firmware::VARIABLE_STORE_FILE_SYSTEM_GUID;
}

// "volume <its name, or its file system>" or "variable store".
std::string VolumeName(const firmware::TreeVolume& v) {
  if (IsVariableStore(v)) return "variable store";
  return "volume " + firmware::GuidText(v.name.value_or(v.fileSystem));
}

std::string VolumeText(const firmware::TreeVolume& v, uint64_t address) { return VolumeName(v) + " at " + Hex(address, 8); }

std::string FileText(const PiGuid& name, const std::string& uiName) {
  return firmware::GuidText(name) + (uiName.empty() ? "" : " (" + uiName + ")");
}

std::string SectionText(uint8_t type) {
  switch (type) {
    case firmware::EFI_SECTION_PE32: return "PE32 section";
    case firmware::EFI_SECTION_TE: return "TE section";
    case firmware::EFI_SECTION_USER_INTERFACE: return "user-interface section";
    case firmware::EFI_SECTION_FIRMWARE_VOLUME_IMAGE: return "volume-image section";
    case firmware::EFI_SECTION_GUID_DEFINED: return "GUID-defined section";
    case firmware::EFI_SECTION_RAW: return "raw section";
    case firmware::EFI_SECTION_PEI_DEPEX: return "dependency section";
    default: return "section of type " + Hex(type, 2);
  }
}

uint32_t FileHeaderSize(const firmware::TreeFile& f) {
  firmware::FfsFile file;
  file.attributes = f.attributes;
  return file.HeaderSize();
}

// What the check reads, in mapped addresses, from both images' analyses.
struct CheckSpans {
  std::vector<StructureSpan> structures;
  std::vector<Span> variableStore;

  CheckParts Of(uint64_t first, uint64_t end) const {
    CheckParts p;
    p.region = Span{VERIFIED_REGION_BASE, uint64_t{VERIFIED_REGION_BASE} + VERIFIED_REGION_SIZE}.Overlaps(first, end);
    for (const StructureSpan& s : structures) {
      if (!Span{s.first, s.end}.Overlaps(first, end)) continue;
      switch (s.what) {
        case CheckStructure::FitPointer: p.fitPointer = true; break;
        case CheckStructure::Fit: p.fit = true; break;
        case CheckStructure::ReferenceDigest: p.referenceDigest = true; break;
        case CheckStructure::Module: p.module = true; break;
        case CheckStructure::Manifest:
          // Its bytes before the digest: the digest is told apart.
          p.manifest = p.manifest || Span{s.first, s.first + MANIFEST_DIGEST_OFFSET}.Overlaps(first, end);
          break;
      }
    }
    p.variableStore = std::any_of(variableStore.begin(), variableStore.end(),
                                  [&](const Span& s) { return s.Overlaps(first, end); });
    return p;
  }
};

// The volumes a file's sections hold once opened: volume-image sections, and
// GUID-defined sections (LZMA decoded) holding more sections. Throws
// FirmwareError for what cannot be opened.
void CollectVolumes(Bytes data, std::vector<std::vector<uint8_t>>& out, int depth) {
  for (const firmware::Section& s : firmware::ParseSections(data)) {
    if (s.type == firmware::EFI_SECTION_FIRMWARE_VOLUME_IMAGE && firmware::LooksLikeVolume(s.payload)) {
      const uint64_t length = firmware::ReadRecord<firmware::FirmwareVolumeHeader>(s.payload, 0).FvLength;
      if (length <= s.payload.size()) out.emplace_back(s.payload.begin(), s.payload.begin() + static_cast<ptrdiff_t>(length));
    } else if (s.type == firmware::EFI_SECTION_GUID_DEFINED && depth < MAX_DIFF_DEPTH) {
      const auto fields = firmware::GuidDefinedFields(s);
      if (fields.SectionDefinitionGuid == firmware::LZMA_SECTION_GUID)
        CollectVolumes(firmware::DecodeLzma(s.payload).data, out, depth + 1);
      else if ((fields.Attributes & firmware::EFI_GUIDED_SECTION_PROCESSING_REQUIRED) == 0)
        CollectVolumes(s.payload, out, depth + 1);
      else
        throw firmware::FirmwareError("processed by " + firmware::GuidText(fields.SectionDefinitionGuid) +
                                      ", which this tool cannot open");
    }
  }
}

std::vector<ChangedFile> CompareVolumes(Bytes a, Bytes b, const std::string& label, int depth);

// Compares the volumes inside two versions of a file's data.
void CompareInside(ChangedFile& changed, Bytes a, Bytes b, int depth) {
  std::vector<std::vector<uint8_t>> inA, inB;
  try {
    CollectVolumes(a, inA, depth);
    CollectVolumes(b, inB, depth);
  } catch (const firmware::FirmwareError& e) {
    changed.unopened = e.what();
    return;
  }
  if (inA.size() != inB.size()) {
    changed.unopened = fmt::format("holds {} volumes in one image and {} in the other", inA.size(), inB.size());
    return;
  }
  for (size_t i = 0; i < inA.size(); ++i) {
    if (inA[i] == inB[i]) continue;
    const auto tree = firmware::ReadFirmwareTree(inA[i]);
    const std::string label = tree.volumes.empty() ? "nested volume" : VolumeName(tree.volumes.front());
    auto inner = CompareVolumes(inA[i], inB[i], label, depth + 1);
    changed.inside.insert(changed.inside.end(), inner.begin(), inner.end());
  }
}

// The files of two versions of a volume that differ, matched by name (pad
// files aside, whose moves are no change of their own). Each name's copies
// are matched in order.
std::vector<ChangedFile> CompareVolumes(Bytes a, Bytes b, const std::string& label, int depth) {
  std::vector<ChangedFile> out;
  firmware::FirmwareVolume va, vb;
  try {
    va = firmware::ReadVolume(a);
    vb = firmware::ReadVolume(b);
  } catch (const firmware::FirmwareError&) {
    return out;  // the ranges still say where the bytes differ
  }
  std::map<std::string, std::string> uiNames;
  for (Bytes bytes : {a, b})
    for (const auto& v : firmware::ReadFirmwareTree(bytes).volumes)
      for (const auto& f : v.files)
        if (!f.uiName.empty()) uiNames[firmware::GuidText(f.name)] = f.uiName;
  auto key = [](const firmware::FfsFile& f) { return firmware::GuidText(f.name); };
  std::map<std::string, std::vector<const firmware::FfsFile*>> byName;
  for (const auto& f : vb.files)
    if (f.type != firmware::FV_FILETYPE_FFS_PAD) byName[key(f)].push_back(&f);
  auto changed = [&](const firmware::FfsFile& f, const char* change) {
    ChangedFile c;
    c.volume = label;
    c.name = f.name;
    c.uiName = uiNames[key(f)];
    c.change = change;
    return c;
  };
  for (const auto& f : va.files) {
    if (f.type == firmware::FV_FILETYPE_FFS_PAD) continue;
    auto& copies = byName[key(f)];
    if (copies.empty()) {
      out.push_back(changed(f, "removed"));
      continue;
    }
    const firmware::FfsFile& other = *copies.front();
    copies.erase(copies.begin());
    if (f.data == other.data && f.type == other.type && f.attributes == other.attributes && f.state == other.state)
      continue;
    ChangedFile c = changed(f, "changed");
    CompareInside(c, f.data, other.data, depth);
    out.push_back(std::move(c));
  }
  for (const auto& f : vb.files)
    if (f.type != firmware::FV_FILETYPE_FFS_PAD)
      for (const firmware::FfsFile* left : byName[key(f)])
        if (left == &f) out.push_back(changed(f, "added"));
  return out;
}

// Names a range of the mapped window by the tree of the first image.
class Namer {
 public:
  Namer(const firmware::FirmwareTree& tree, uint32_t windowBase) : tree_(tree), base_(windowBase) {}

  void Name(DiffRange& r, uint64_t first, uint64_t end) const {
    for (const auto& v : tree_.volumes) {
      const uint64_t vEnd = v.offset + v.size;
      if (first >= vEnd || v.offset >= end) continue;
      for (const auto& f : v.files)
        if (Span{v.offset + f.offset, v.offset + f.offset + f.size}.Overlaps(first, end)) ++r.files;
      if (first < v.offset || !r.volume.empty()) continue;
      r.volume = VolumeText(v, base_ + v.offset);
      for (const auto& f : v.files) {
        const uint64_t at = v.offset + f.offset;
        if (first < at || first >= at + f.size) continue;
        r.file = FileText(f.name, f.uiName);
        const uint64_t data = at + FileHeaderSize(f);
        for (const auto& s : f.sections)
          if (first >= data + s.offset && first < data + s.offset + s.size)
            r.section = SectionText(s.type) + " at " + Hex(s.offset) + " of its data";
      }
    }
  }

 private:
  const firmware::FirmwareTree& tree_;
  uint32_t base_;
};

// The descriptor region a file offset lies in; a file without a descriptor is all BIOS region.
std::string RegionOf(const firmware::FlashLayout& layout, uint64_t offset) {
  if (!layout.descriptor) return firmware::FlashRegionName(firmware::FLASH_REGION_BIOS);
  for (const auto& region : layout.descriptor->regions)
    if (offset >= region.first && offset <= region.last) return firmware::FlashRegionName(region.index);
  return "outside every region";
}

// Refuses a dump with a BIOS region, BIOS regions of different sizes, and
// dumps whose mapped windows differ in size: no address pairs their bytes.
void RequireComparable(const FlashFile& a, const FlashFile& b) {
  const auto& la = a.layout;
  const auto& lb = b.layout;
  if (la.descriptor.has_value() != lb.descriptor.has_value())
    throw ToolError(fmt::format("{} {} a full flash dump and {} {}: a dump is compared with a dump, a BIOS region with "
                                "a BIOS region",
                                a.name, la.descriptor ? "is" : "is not", b.name, lb.descriptor ? "is" : "is not"));
  if (!la.descriptor && la.fileSize != lb.fileSize)
    throw ToolError(fmt::format("{} holds {} bytes and {} holds {}: images of different sizes cannot be compared", a.name,
                                Hex(la.fileSize), b.name, Hex(lb.fileSize)));
  if (la.windowSize != lb.windowSize)
    throw ToolError(fmt::format("{} maps {} bytes below 4 GiB and {} maps {}: their BIOS regions cannot be compared by "
                                "address",
                                a.name, Hex(la.windowSize), b.name, Hex(lb.windowSize)));
}

}  // namespace

void CheckParts::Add(const CheckParts& o) {
  region = region || o.region;
  fitPointer = fitPointer || o.fitPointer;
  fit = fit || o.fit;
  manifest = manifest || o.manifest;
  referenceDigest = referenceDigest || o.referenceDigest;
  module = module || o.module;
  variableStore = variableStore || o.variableStore;
}

ImageDiff DiffImages(const FlashFile& a, const Analysis& analysisA, const FlashFile& b, const Analysis& analysisB) {
  RequireComparable(a, b);
  const firmware::FlashLayout& layout = a.layout;
  ImageDiff diff;
  diff.passesA = analysisA.Passes();
  diff.passesB = analysisB.Passes();

  // Mapped ranges as addresses, the others as file offsets of the first file.
  std::vector<Span> mapped, unmapped;
  FindRanges(a.window, b.window, layout.WindowBase(), mapped, diff.differingBytes);
  const uint64_t windowAt = layout.WindowFileOffset();
  diff.wholeFiles = a.bytes.size() == b.bytes.size() && windowAt == b.layout.WindowFileOffset();
  if (diff.wholeFiles) {
    const Bytes fa(a.bytes), fb(b.bytes);
    FindRanges(fa.first(windowAt), fb.first(windowAt), 0, unmapped, diff.differingBytes);
    const uint64_t after = windowAt + layout.windowSize;
    FindRanges(fa.subspan(after), fb.subspan(after), after, unmapped, diff.differingBytes);
  }
  diff.rangeCount = mapped.size() + unmapped.size();
  if (diff.Identical()) return diff;

  const firmware::FirmwareTree tree = firmware::ReadFirmwareTree(a.window);
  CheckSpans spans;
  for (const auto& [analysis, file] : {std::pair{&analysisA, &a}, std::pair{&analysisB, &b}})
    for (const StructureSpan& s : CheckStructures(*analysis, FindPlacedModule(file->window))) spans.structures.push_back(s);
  for (const auto& v : tree.volumes)
    if (IsVariableStore(v)) spans.variableStore.push_back({layout.WindowBase() + v.offset, layout.WindowBase() + v.offset + v.size});

  const Namer namer(tree, layout.WindowBase());
  for (const Span& s : unmapped) {
    diff.outsideVariableStore = true;
    const std::string region = RegionOf(layout, s.first);
    if (diff.unmapped.empty() || diff.unmapped.back().region != region) diff.unmapped.push_back({region, 0, 0, s.first, 0});
    RegionChange& change = diff.unmapped.back();
    ++change.ranges;
    change.bytes += s.differing;
    change.end = s.end;
  }
  const uint64_t pixel = std::max<uint64_t>(layout.windowSize / MAP_RESOLUTION, 1);
  for (const Span& s : mapped) {
    if (!diff.drawn.empty() && s.first - diff.drawn.back().second < pixel)
      diff.drawn.back().second = s.end;
    else
      diff.drawn.emplace_back(s.first, s.end);
    const CheckParts parts = spans.Of(s.first, s.end);
    diff.parts.Add(parts);
    diff.outsideVariableStore = diff.outsideVariableStore || !parts.variableStore;
    if (diff.ranges.size() == MAX_LISTED_RANGES) continue;
    DiffRange r;
    r.address = static_cast<uint32_t>(s.first);
    r.offset = layout.FileOffset(r.address);
    r.size = s.end - s.first;
    r.parts = parts;
    namer.Name(r, s.first - layout.WindowBase(), s.end - layout.WindowBase());
    diff.ranges.push_back(std::move(r));
  }

  // The files that differ, volume by volume where both images hold the same volume.
  for (const auto& v : tree.volumes) {
    if (!v.ffs || v.offset + v.size > b.window.size()) continue;
    const Bytes va = Bytes(a.window).subspan(v.offset, v.size);
    const Bytes vb = Bytes(b.window).subspan(v.offset, v.size);
    if (std::equal(va.begin(), va.end(), vb.begin())) continue;
    const uint64_t address = layout.WindowBase() + v.offset;
    for (ChangedFile& c : CompareVolumes(va, vb, VolumeText(v, address), 0)) {
      for (const auto& f : v.files)
        if (f.name == c.name) c.inRegion = c.inRegion || spans.Of(address + f.offset, address + f.offset + f.size).region;
      ++diff.fileCount;
      if (diff.files.size() < MAX_LISTED_FILES) diff.files.push_back(std::move(c));
    }
  }
  return diff;
}

namespace {

// The innermost changed file under `c`, for the one-line meaning: one with a
// name a person knows where there is one.
const ChangedFile& Innermost(const ChangedFile& c) {
  if (c.inside.empty()) return c;
  const auto named = std::find_if(c.inside.begin(), c.inside.end(), [](const ChangedFile& f) { return !f.uiName.empty(); });
  return Innermost(named != c.inside.end() ? *named : c.inside.front());
}

}  // namespace

std::vector<std::string> DiffMeaning(const ImageDiff& d) {
  if (d.Identical()) return {"the images are identical"};
  std::vector<std::string> lines;
  const CheckParts& p = d.parts;
  if (p.referenceDigest) lines.push_back("the manifest's reference digest changed: the check compares the region with the new one");
  if (p.fitPointer || p.fit || p.manifest)
    lines.push_back("what leads the check to the manifest changed (FIT pointer, FIT or manifest): where it finds the "
                    "reference digest may have moved");
  if (p.region) {
    const auto inRegion = std::find_if(d.files.begin(), d.files.end(), [](const ChangedFile& c) { return c.inRegion; });
    std::string where;
    if (inRegion != d.files.end()) {
      const ChangedFile& file = Innermost(*inRegion);
      where = fmt::format(" in file {} of {}", file.uiName.empty() ? firmware::GuidText(file.name) : file.uiName, file.volume);
    }
    if (!d.outsideVariableStore)
      lines.push_back("only the variable store changed; it lies in the checked region: the reference digest must be "
                      "stamped again");
    else
      lines.push_back("the checked region changed" + where + ": the reference digest must be stamped again");
  } else if (!d.outsideVariableStore) {
    lines.push_back("only the variable store changed, outside the checked region: the verdict cannot change");
  } else if (lines.empty()) {
    lines.push_back("only bytes outside the checked region changed: the verdict cannot change");
  }
  if (p.module) lines.push_back("the placed module changed");
  return lines;
}

}  // namespace veriflash
