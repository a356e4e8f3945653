#include "firmware/firmware_volume.h"

#include <algorithm>

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pi_layout.h"

namespace firmware {

using common::Hex;

namespace {

// No volume this code handles has more block map entries.
constexpr size_t MAX_BLOCK_MAP_ENTRIES = 64;

bool AllErased(std::span<const uint8_t> bytes, uint8_t erased) {
  return std::all_of(bytes.begin(), bytes.end(), [erased](uint8_t b) { return b == erased; });
}

// A file's header, once written, is marked valid and never invalid.
bool HeaderWritten(uint8_t state) {
  return (state & EFI_FILE_HEADER_VALID) != 0 && (state & EFI_FILE_HEADER_INVALID) == 0;
}

std::vector<uint8_t> HeaderBytes(const FirmwareVolume& v) {
  std::vector<uint8_t> out;
  AppendRecord(out, v.header);
  for (const FvBlockMapEntry& e : v.blockMap) AppendRecord(out, e);
  AppendRecord(out, FvBlockMapEntry{0, 0});
  return out;
}

}  // namespace

uint32_t FirmwareVolume::FreeSpaceStart() const {
  uint32_t end = header.HeaderLength;
  for (const FfsFile& f : files) end = f.offset + f.Size();
  return static_cast<uint32_t>(AlignUp(end, FFS_FILE_ALIGNMENT));
}

const FfsFile* FirmwareVolume::FindFile(uint8_t type) const {
  for (const FfsFile& f : files)
    if (f.type == type) return &f;
  return nullptr;
}

FfsFile* FirmwareVolume::FindFile(const PiGuid& name) {
  for (FfsFile& f : files)
    if (f.name == name && f.type != FV_FILETYPE_FFS_PAD) return &f;
  return nullptr;
}

std::string VolumeHeaderProblem(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(FirmwareVolumeHeader))
    return "volume header cut off: " + Hex(bytes.size()) + " bytes left, the header takes " +
           Hex(sizeof(FirmwareVolumeHeader));
  const auto h = ReadRecord<FirmwareVolumeHeader>(bytes, 0);
  if (h.Signature != FV_SIGNATURE)
    return "signature " + Hex(h.Signature, 8) + ", expected " + Hex(FV_SIGNATURE, 8) + " (\"_FVH\")";
  if (h.HeaderLength < sizeof h + sizeof(FvBlockMapEntry) || h.HeaderLength % 2 != 0)
    return "header length " + Hex(h.HeaderLength) + " is odd or too short for a header and its block map";
  if (h.HeaderLength > bytes.size())
    return "header length " + Hex(h.HeaderLength) + " runs past the end of the data at " + Hex(bytes.size());
  const uint16_t sum = Sum16(bytes.first(h.HeaderLength));
  if (sum != 0)
    return "header checksum " + Hex(h.Checksum, 4) + ", expected " + Hex(static_cast<uint16_t>(h.Checksum - sum), 4);
  if (h.FvLength < h.HeaderLength)
    return "FvLength " + Hex(h.FvLength) + " is shorter than the header (" + Hex(h.HeaderLength) + ")";
  return {};
}

bool LooksLikeVolume(std::span<const uint8_t> bytes) { return VolumeHeaderProblem(bytes).empty(); }

bool HoldsFfsFiles(std::span<const uint8_t> bytes) {
  if (!LooksLikeVolume(bytes)) return false;
  const PiGuid fileSystem = ReadRecord<FirmwareVolumeHeader>(bytes, 0).FileSystemGuid;
  return fileSystem == FFS2_FILE_SYSTEM_GUID || fileSystem == FFS3_FILE_SYSTEM_GUID;
}

FirmwareVolume ReadVolume(std::span<const uint8_t> bytes) {
  if (const std::string problem = VolumeHeaderProblem(bytes); !problem.empty()) throw FirmwareError(problem);
  FirmwareVolume v;
  v.header = ReadRecord<FirmwareVolumeHeader>(bytes, 0);
  if (v.header.FvLength > bytes.size())
    throw FirmwareError("volume of " + Hex(v.header.FvLength) + " bytes is cut off at " + Hex(bytes.size()));
  if (!HoldsFfsFiles(bytes))
    throw FirmwareError("volume does not hold FFS files (its file system GUID is another)");
  for (size_t at = sizeof(FirmwareVolumeHeader);; at += sizeof(FvBlockMapEntry)) {
    if (at + sizeof(FvBlockMapEntry) > v.header.HeaderLength || v.blockMap.size() > MAX_BLOCK_MAP_ENTRIES)
      throw FirmwareError("block map runs past the volume header");
    const auto entry = ReadRecord<FvBlockMapEntry>(bytes, at);
    if (entry.NumBlocks == 0 && entry.Length == 0) break;
    v.blockMap.push_back(entry);
  }
  const std::span<const uint8_t> volume = bytes.first(v.Size());
  const uint8_t erased = v.ErasedByte();
  size_t at = AlignUp(v.header.HeaderLength, FFS_FILE_ALIGNMENT);
  for (; at + sizeof(FfsFileHeader) <= volume.size(); at = AlignUp(at, FFS_FILE_ALIGNMENT)) {
    if (AllErased(volume.subspan(at, sizeof(FfsFileHeader)), erased)) break;
    // Free space of the other polarity means the attributes bit is wrong, not a file.
    if (AllErased(volume.subspan(at, sizeof(FfsFileHeader)), static_cast<uint8_t>(~erased)))
      throw FirmwareError("attributes " + Hex(v.header.Attributes, 8) + " say erased bytes read " + Hex(erased, 2) +
                          ", but the volume's free space from " + Hex(at) + " reads " +
                          Hex(static_cast<uint8_t>(~erased), 2));
    FfsFile file = ReadFfsFile(volume, at, v.ErasePolarity());
    // A file that reads as written only with the other polarity says the attributes bit is wrong.
    if (!HeaderWritten(file.state) && HeaderWritten(static_cast<uint8_t>(~file.state)))
      throw FirmwareError("file at " + Hex(at) + ": state " + Hex(file.state, 2) +
                          " does not read as a written header, which it does with the other erase polarity: "
                          "attributes " + Hex(v.header.Attributes, 8) + " give the volume the wrong polarity");
    at += file.Size();
    v.files.push_back(std::move(file));
  }
  at = std::min<size_t>(at, volume.size());
  const auto rest = volume.subspan(at);
  const auto dirty = std::find_if(rest.begin(), rest.end(), [erased](uint8_t b) { return b != erased; });
  if (dirty != rest.end())
    throw FirmwareError("the free space holds data at " + Hex(at + static_cast<size_t>(dirty - rest.begin())) +
                        ": a damaged volume");
  return v;
}

std::vector<uint8_t> WriteVolume(const FirmwareVolume& v) {
  std::vector<uint8_t> out(v.Size(), v.ErasedByte());
  std::vector<uint8_t> header = HeaderBytes(v);
  if (header.size() != v.header.HeaderLength)
    throw FirmwareError("volume header of " + Hex(header.size()) + " bytes does not match its HeaderLength " +
                        Hex(v.header.HeaderLength));
  WriteRecord<uint16_t>(header, offsetof(FirmwareVolumeHeader, Checksum), 0);
  WriteRecord<uint16_t>(header, offsetof(FirmwareVolumeHeader, Checksum), static_cast<uint16_t>(-Sum16(header)));
  std::copy(header.begin(), header.end(), out.begin());
  for (const FfsFile& f : v.files) {
    const std::vector<uint8_t> bytes = WriteFfsFile(f, v.ErasePolarity());
    if (f.offset < header.size() || uint64_t{f.offset} + bytes.size() > out.size())
      throw FirmwareError("file at " + Hex(f.offset) + " does not fit in the volume");
    std::copy(bytes.begin(), bytes.end(), out.begin() + f.offset);
  }
  return out;
}

std::optional<uint32_t> PlaceForFile(const FirmwareVolume& v, const FfsFile& file) {
  const uint64_t cursor = v.FreeSpaceStart();
  const uint64_t alignment = std::max<uint64_t>(FfsDataAlignment(file.attributes), FFS_FILE_ALIGNMENT);
  // The data must be aligned; a gap in front needs room for a pad file's header.
  uint64_t at = AlignUp(cursor + file.HeaderSize(), alignment) - file.HeaderSize();
  if (at != cursor && at - cursor < sizeof(FfsFileHeader)) at += alignment;
  if (at + file.Size() > v.Size()) return std::nullopt;
  return static_cast<uint32_t>(at);
}

uint32_t AddFile(FirmwareVolume& v, FfsFile file) {
  const std::optional<uint32_t> at = PlaceForFile(v, file);
  if (!at)
    throw FirmwareError("not enough free space: the file needs " + Hex(file.Size()) + " bytes with its alignment, the volume has " +
                        Hex(v.Size() - v.FreeSpaceStart()) + " free from " + Hex(v.FreeSpaceStart()));
  const uint32_t cursor = v.FreeSpaceStart();
  if (*at != cursor) {
    FfsFile pad = MakePadFile(*at - cursor, v.ErasePolarity());
    pad.offset = cursor;
    v.files.push_back(std::move(pad));
  }
  file.offset = *at;
  v.files.push_back(std::move(file));
  return *at;
}

void ResizeFile(FirmwareVolume& v, size_t index, std::vector<uint8_t> data) {
  FfsFile& f = v.files[index];
  const uint64_t limit = index + 1 < v.files.size() ? v.files[index + 1].offset : v.Size();
  const uint64_t room = limit - f.offset - f.HeaderSize();
  if (data.size() > room)
    throw FirmwareError("file at " + Hex(f.offset) + " would grow to " + Hex(data.size() + f.HeaderSize()) +
                        " bytes, past the " + Hex(limit - f.offset) + " it has before " +
                        (index + 1 < v.files.size() ? "the next file" : "the end of the volume"));
  f.data = std::move(data);
  if (index + 1 == v.files.size()) return;
  // A reader looks for the next file right after this one: a gap gets a pad file.
  const uint32_t end = static_cast<uint32_t>(AlignUp(f.offset + f.Size(), FFS_FILE_ALIGNMENT));
  if (end == limit) return;
  if (limit - end < sizeof(FfsFileHeader))
    throw FirmwareError("file at " + Hex(f.offset) + " would leave a gap of " + Hex(limit - end) +
                        " bytes before the next file, too small for a pad file");
  FfsFile pad = MakePadFile(static_cast<uint32_t>(limit - end), v.ErasePolarity());
  pad.offset = end;
  v.files.insert(v.files.begin() + static_cast<ptrdiff_t>(index) + 1, std::move(pad));
}

}  // namespace firmware
