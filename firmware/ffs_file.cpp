#include "firmware/ffs_file.h"

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pi_layout.h"

namespace firmware {

using common::Hex;

namespace {

uint8_t StoredState(uint8_t state, bool erasePolarity) { return erasePolarity ? static_cast<uint8_t>(~state) : state; }

// The header checksum makes the header's bytes sum to zero with the file
// checksum and the state counted as zero: both change after the header is
// written.
uint8_t HeaderChecksum(std::vector<uint8_t> header) {
  header[offsetof(FfsFileHeader, HeaderChecksum)] = 0;
  header[offsetof(FfsFileHeader, FileChecksum)] = 0;
  header[offsetof(FfsFileHeader, State)] = 0;
  return static_cast<uint8_t>(-Sum8(header));
}

}  // namespace

uint32_t FfsFile::HeaderSize() const { return LargeHeader() ? sizeof(FfsFileHeader2) : sizeof(FfsFileHeader); }

uint32_t FfsFile::Size() const { return static_cast<uint32_t>(HeaderSize() + data.size()); }

uint32_t FfsDataAlignment(uint8_t attributes) {
  const uint8_t index = (attributes & FFS_ATTRIB_DATA_ALIGNMENT) >> FFS_ATTRIB_DATA_ALIGNMENT_SHIFT;
  return (attributes & FFS_ATTRIB_DATA_ALIGNMENT_2) ? FFS_DATA_ALIGNMENTS_2[index] : FFS_DATA_ALIGNMENTS[index];
}

uint8_t FfsAlignmentAttributes(uint32_t bytes) {
  for (uint8_t i = 0; i < 8; ++i)
    if (FFS_DATA_ALIGNMENTS[i] >= bytes) return static_cast<uint8_t>(i << FFS_ATTRIB_DATA_ALIGNMENT_SHIFT);
  for (uint8_t i = 0; i < 8; ++i)
    if (FFS_DATA_ALIGNMENTS_2[i] >= bytes)
      return static_cast<uint8_t>(i << FFS_ATTRIB_DATA_ALIGNMENT_SHIFT | FFS_ATTRIB_DATA_ALIGNMENT_2);
  throw FirmwareError("an alignment of " + Hex(bytes) + " bytes is more than a firmware file can ask for");
}

std::vector<uint8_t> WriteFfsFile(const FfsFile& file, bool erasePolarity) {
  FfsFileHeader h{};
  h.Name = file.name;
  h.Type = file.type;
  h.Attributes = file.attributes;
  h.FileChecksum = (file.attributes & FFS_ATTRIB_CHECKSUM) ? static_cast<uint8_t>(-Sum8(file.data)) : FFS_FIXED_CHECKSUM;
  h.State = StoredState(file.state, erasePolarity);
  std::vector<uint8_t> out;
  if (file.LargeHeader()) {
    AppendRecord(out, FfsFileHeader2{h, file.Size()});
  } else {
    if (file.Size() > FFS_MAX_SIZE_24)
      throw FirmwareError("file " + Hex(file.Size()) + " bytes long needs the large-file header");
    Write24(h.Size, file.Size());
    AppendRecord(out, h);
  }
  out[offsetof(FfsFileHeader, HeaderChecksum)] = HeaderChecksum(out);
  out.insert(out.end(), file.data.begin(), file.data.end());
  return out;
}

FfsFile ReadFfsFile(std::span<const uint8_t> volume, size_t at, bool erasePolarity) {
  if (volume.size() - at < sizeof(FfsFileHeader))
    throw FirmwareError("file header at " + Hex(at) + " is cut off by the end of the volume");
  const auto h = ReadRecord<FfsFileHeader>(volume, at);
  FfsFile file;
  file.name = h.Name;
  file.type = h.Type;
  file.attributes = h.Attributes;
  file.state = StoredState(h.State, erasePolarity);
  file.offset = static_cast<uint32_t>(at);
  uint64_t size = Read24(h.Size);
  if (file.LargeHeader()) {
    if (volume.size() - at < sizeof(FfsFileHeader2))
      throw FirmwareError("large file header at " + Hex(at) + " is cut off by the end of the volume");
    size = ReadRecord<FfsFileHeader2>(volume, at).ExtendedSize;
  }
  if (size < file.HeaderSize() || size > volume.size() - at)
    throw FirmwareError("file at " + Hex(at) + " has size " + Hex(size) + ", which does not fit in the volume (" +
                        Hex(volume.size()) + ")");
  const std::vector<uint8_t> header(volume.begin() + at, volume.begin() + at + file.HeaderSize());
  if (const uint8_t expected = HeaderChecksum(header); expected != h.HeaderChecksum)
    throw FirmwareError("file at " + Hex(at) + ": header checksum " + Hex(h.HeaderChecksum, 2) + ", expected " +
                        Hex(expected, 2));
  file.data.assign(volume.begin() + at + file.HeaderSize(), volume.begin() + at + size);
  const uint8_t expected =
      (file.attributes & FFS_ATTRIB_CHECKSUM) ? static_cast<uint8_t>(-Sum8(file.data)) : FFS_FIXED_CHECKSUM;
  if (h.FileChecksum != expected)
    throw FirmwareError("file at " + Hex(at) + ": data checksum " + Hex(h.FileChecksum, 2) + ", expected " +
                        Hex(expected, 2));
  return file;
}

FfsFile MakePadFile(uint32_t size, bool erasePolarity) {
  FfsFile pad;
  std::fill(std::begin(pad.name.bytes), std::end(pad.name.bytes), 0xFF);
  pad.type = FV_FILETYPE_FFS_PAD;
  pad.data.assign(size - sizeof(FfsFileHeader), erasePolarity ? 0xFF : 0x00);
  return pad;
}

}  // namespace firmware
