#include "firmware/firmware_tree.h"

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/firmware_volume.h"
#include "firmware/lzma_stream.h"
#include "firmware/pei_volume.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {

using common::Hex;

namespace {

// Volumes and opened sections inside one another. Real firmware goes three
// deep (a main volume, its compressed section, the PEI and DXE volumes in
// it); the limit stops a crafted image that nests without end.
constexpr int MAX_NESTING = 8;

// A user-interface section's UCS-2 text up to its zero character; what is
// not ASCII shows as '?'.
std::string UiText(std::span<const uint8_t> payload) {
  std::string text;
  for (size_t i = 0; i + 1 < payload.size(); i += 2) {
    const uint16_t c = static_cast<uint16_t>(payload[i] | payload[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

bool HoldsSections(uint8_t fileType) { return fileType != FV_FILETYPE_RAW && fileType != FV_FILETYPE_FFS_PAD; }

class Walker {
 public:
  Walker(const Pe32Visitor& onPe32, const VolumeVisitor& onVolume) : onPe32_(onPe32), onVolume_(onVolume) {}

  std::vector<TreeVolume> Volumes(std::span<const uint8_t> data) {
    std::vector<TreeVolume> volumes;
    for (size_t at = 0; at + sizeof(FirmwareVolumeHeader) <= data.size(); at += FFS_FILE_ALIGNMENT) {
      if (!LooksLikeVolume(data.subspan(at))) continue;
      const uint64_t length = ReadRecord<FirmwareVolumeHeader>(data, at).FvLength;
      if (length > data.size() - at || length < sizeof(FirmwareVolumeHeader)) continue;
      path_.push_back("volume at " + Hex(at));
      volumes.push_back(Volume(data.subspan(at, length), at, 0));
      path_.pop_back();
      at += AlignUp(length, FFS_FILE_ALIGNMENT) - FFS_FILE_ALIGNMENT;
    }
    return volumes;
  }

 private:
  TreeVolume Volume(std::span<const uint8_t> bytes, uint64_t offset, int depth) {
    const size_t outerVolumePath = volumePath_;
    volumePath_ = path_.size();
    TreeVolume v = ReadOne(bytes, offset, depth);
    volumePath_ = outerVolumePath;
    if (onVolume_) onVolume_(TreeVolumeBytes{v, bytes, path_});
    return v;
  }

  TreeVolume ReadOne(std::span<const uint8_t> bytes, uint64_t offset, int depth) {
    const auto header = ReadRecord<FirmwareVolumeHeader>(bytes, 0);
    TreeVolume v;
    v.offset = offset;
    v.size = static_cast<uint32_t>(bytes.size());
    v.fileSystem = header.FileSystemGuid;
    if (header.ExtHeaderOffset != 0 && header.ExtHeaderOffset + sizeof(FirmwareVolumeExtHeader) <= bytes.size())
      v.name = ReadRecord<FirmwareVolumeExtHeader>(bytes, header.ExtHeaderOffset).FvName;
    v.ffs = HoldsFfsFiles(bytes);
    if (!v.ffs) return v;
    FirmwareVolume volume;
    try {
      volume = ReadVolume(bytes);
    } catch (const FirmwareError& e) {
      v.error = e.what();
      return v;
    }
    v.freeSpace = volume.Size() - volume.FreeSpaceStart();
    try {
      v.apriori = AprioriList(volume);
      v.base = PeimVolumeBase(volume);
    } catch (const FirmwareError& e) {
      v.error = e.what();
    }
    for (const FfsFile& f : volume.files) v.files.push_back(File(v, f, depth));
    return v;
  }

  TreeFile File(const TreeVolume& volume, const FfsFile& f, int depth) {
    TreeFile file;
    file.index = filesMet_++;
    file.name = f.name;
    file.type = f.type;
    file.attributes = f.attributes;
    file.state = f.state;
    file.offset = f.offset;
    file.size = f.Size();
    for (const PiGuid& listed : volume.apriori) file.apriori = file.apriori || listed == f.name;
    if (!HoldsSections(f.type)) return file;
    std::vector<Section> sections;
    try {
      sections = ParseSections(f.data);
    } catch (const FirmwareError& e) {
      file.sectionError = e.what();
      return file;
    }
    for (const Section& s : sections)
      if (s.type == EFI_SECTION_USER_INTERFACE) file.uiName = UiText(s.payload);
    path_.push_back("file " + GuidText(f.name) + (file.uiName.empty() ? "" : " (" + file.uiName + ")") + " at " +
                    Hex(f.offset));
    std::optional<uint64_t> dataAddress;
    if (volume.base) dataAddress = uint64_t{*volume.base} + f.offset + f.HeaderSize();
    file.sections = Sections(sections, volume, file, dataAddress, depth);
    path_.pop_back();
    return file;
  }

  // `dataAddress`: where the first byte of the data the sections lie in is
  // when the volume runs in place; only a file's own sections have one.
  std::vector<TreeSection> Sections(const std::vector<Section>& sections, const TreeVolume& volume,
                                    const TreeFile& file, std::optional<uint64_t> dataAddress, int depth) {
    std::vector<TreeSection> tree;
    uint64_t at = 0;
    for (const Section& s : sections) {
      at = AlignUp(at, SECTION_ALIGNMENT);
      TreeSection t;
      t.type = s.type;
      t.offset = static_cast<uint32_t>(at);
      t.size = s.Size();
      const uint32_t payloadAt = t.size - static_cast<uint32_t>(s.payload.size());
      if (s.type == EFI_SECTION_PE32) {
        if (dataAddress) t.inPlaceAddress = static_cast<uint32_t>(*dataAddress + at + payloadAt);
        if (onPe32_) {
          const std::vector<std::string> toVolume(path_.begin(), path_.begin() + static_cast<ptrdiff_t>(volumePath_));
          onPe32_(TreePe32{volume, file, t, s.payload, toVolume});
        }
      } else if (s.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE) {
        Nested(t, s.payload, at + payloadAt, depth);
      } else if (s.type == EFI_SECTION_GUID_DEFINED) {
        GuidDefined(t, s, volume, file, depth);
      } else if (s.type == EFI_SECTION_COMPRESSION) {
        t.unopened = "compression section, not opened";
      }
      tree.push_back(std::move(t));
      at += s.Size();
    }
    return tree;
  }

  void Nested(TreeSection& t, std::span<const uint8_t> payload, uint64_t payloadAt, int depth) {
    if (!LooksLikeVolume(payload)) return;
    if (depth >= MAX_NESTING) {
      t.unopened = "nested deeper than " + std::to_string(MAX_NESTING) + " levels, not opened";
      return;
    }
    const uint64_t length = ReadRecord<FirmwareVolumeHeader>(payload, 0).FvLength;
    if (length > payload.size() || length < sizeof(FirmwareVolumeHeader)) {
      t.unopened = "its volume's length " + Hex(length) + " does not fit the section";
      return;
    }
    path_.push_back("volume section at " + Hex(payloadAt));
    t.volumes.push_back(Volume(payload.first(length), payloadAt, depth + 1));
    path_.pop_back();
  }

  void GuidDefined(TreeSection& t, const Section& s, const TreeVolume& volume, const TreeFile& file, int depth) {
    GuidDefinedSectionFields fields;
    try {
      fields = GuidDefinedFields(s);
    } catch (const FirmwareError& e) {
      t.unopened = e.what();
      return;
    }
    t.definition = fields.SectionDefinitionGuid;
    if (depth >= MAX_NESTING) {
      t.unopened = "nested deeper than " + std::to_string(MAX_NESTING) + " levels, not opened";
      return;
    }
    std::vector<uint8_t> decoded;
    std::span<const uint8_t> inner = s.payload;
    std::string step = "GUID-defined section " + GuidText(fields.SectionDefinitionGuid);
    if (fields.SectionDefinitionGuid == LZMA_SECTION_GUID) {
      try {
        decoded = DecodeLzma(s.payload).data;
      } catch (const FirmwareError& e) {
        t.unopened = std::string("LZMA stream: ") + e.what();
        return;
      }
      inner = decoded;
      step = "LZMA section";
    } else if ((fields.Attributes & EFI_GUIDED_SECTION_PROCESSING_REQUIRED) != 0) {
      t.unopened = "processed by " + GuidText(fields.SectionDefinitionGuid) + ", not opened";
      return;
    }
    std::vector<Section> sections;
    try {
      sections = ParseSections(inner);
    } catch (const FirmwareError& e) {
      t.unopened = e.what();
      return;
    }
    path_.push_back(step);
    t.sections = Sections(sections, volume, file, std::nullopt, depth + 1);
    path_.pop_back();
  }

  const Pe32Visitor& onPe32_;
  const VolumeVisitor& onVolume_;
  std::vector<std::string> path_;
  size_t volumePath_ = 0;  // the steps of path_ that lead to the volume being read
  uint32_t filesMet_ = 0;
};

}  // namespace

FirmwareTree ReadFirmwareTree(std::span<const uint8_t> image, const Pe32Visitor& onPe32,
                              const VolumeVisitor& onVolume) {
  Walker walker(onPe32, onVolume);
  return {walker.Volumes(image)};
}

}  // namespace firmware
