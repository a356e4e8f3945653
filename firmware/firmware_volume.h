// PI firmware volumes: a header with its block map, then FFS files at 8-byte
// boundaries, then erased free space to the volume's end. Parsed into the
// header and a list of files at their offsets, and written back with every
// checksum worked out again; files are added in the free space.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/ffs_file.h"
#include "firmware/pi_format.h"

namespace firmware {

struct FirmwareVolume {
  FirmwareVolumeHeader header{};
  std::vector<FvBlockMapEntry> blockMap;  // without the ending {0, 0}
  std::vector<FfsFile> files;             // in order, pad files included

  uint32_t Size() const { return static_cast<uint32_t>(header.FvLength); }
  bool ErasePolarity() const { return (header.Attributes & FVB2_ERASE_POLARITY) != 0; }
  uint8_t ErasedByte() const { return ErasePolarity() ? 0xFF : 0x00; }
  // The first byte after the last file, at an 8-byte boundary.
  uint32_t FreeSpaceStart() const;
  // The first file of `type`, or null.
  const FfsFile* FindFile(uint8_t type) const;
  FfsFile* FindFile(const PiGuid& name);
};

// What is wrong with the volume header `bytes` starts with, in one phrase
// naming the field and what was expected ("header checksum 0x1234, expected
// 0x0000"); empty when the signature, header length, checksum and FvLength
// all hold. FvLength is not compared with `bytes`: callers say what it must fit.
[[nodiscard]] std::string VolumeHeaderProblem(std::span<const uint8_t> bytes);

// True when VolumeHeaderProblem finds nothing.
bool LooksLikeVolume(std::span<const uint8_t> bytes);

// True for a volume whose file system is FFS (a variable store is not).
bool HoldsFfsFiles(std::span<const uint8_t> bytes);

// Throws FirmwareError for a bad header, no FFS file system, a file that does not fit, a bad
// file checksum, or free space that is not erased.
FirmwareVolume ReadVolume(std::span<const uint8_t> bytes);

// The volume's bytes, FvLength of them.
std::vector<uint8_t> WriteVolume(const FirmwareVolume& volume);

// Adds `file` after the last one, at the first offset where its data gets
// its alignment, with a pad file in front where one is needed; returns the
// file's offset. Throws FirmwareError when the free space is too small.
uint32_t AddFile(FirmwareVolume& volume, FfsFile file);

// Where `file` would start if added now; nullopt when it does not fit.
std::optional<uint32_t> PlaceForFile(const FirmwareVolume& volume, const FfsFile& file);

// Replaces the data of files[index]; the files after it stay where they are.
// Throws FirmwareError when the new data reaches the next file or the end.
void ResizeFile(FirmwareVolume& volume, size_t index, std::vector<uint8_t> data);

}  // namespace firmware
