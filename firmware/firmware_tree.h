// The tree of a firmware image, read without changing it: its firmware
// volumes, their FFS files and the files' sections, descending through
// firmware-volume-image sections and LZMA GUID-defined sections (decoded)
// into nested volumes. What cannot be read (a volume with a broken file, a
// section list that does not fit, a compression it cannot open) is recorded
// where it was found, and the walk goes on; nothing here throws for the
// contents of the image.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/pi_format.h"

namespace firmware {

struct TreeVolume;

struct TreeSection {
  uint8_t type = 0;
  uint32_t offset = 0;  // of its header, from the start of the data it lies in
  uint32_t size = 0;    // header included
  // GUID-defined sections: the GUID that says how to open them.
  std::optional<PiGuid> definition;
  // Sections opened: the inner sections of a GUID-defined section (decoded
  // when it is compressed), offsets from the start of the decoded data.
  std::vector<TreeSection> sections;
  std::vector<TreeVolume> volumes;  // a firmware-volume-image section's volume
  // Why the section was not opened ("LZMA stream: ...", "compressed by
  // 3d532050-..., not opened"); empty when it was or needs no opening.
  std::string unopened;
  // A PE32 section directly in a file of a volume whose base is known: the
  // address its image's first byte lies at when the volume is where it runs.
  std::optional<uint32_t> inPlaceAddress;
};

struct TreeFile {
  uint32_t index = 0;  // the order the walk met it in, from 0: FirmwareModule::fileIndex names it
  PiGuid name{};
  uint8_t type = 0;
  uint8_t attributes = 0;
  uint8_t state = 0;     // as the bits are set, whatever the erase polarity
  uint32_t offset = 0;   // from the start of its volume
  uint32_t size = 0;     // header included
  std::string uiName;    // its user-interface section; empty without one
  bool apriori = false;  // listed in its volume's a-priori file
  std::vector<TreeSection> sections;
  std::string sectionError;  // why its data is no list of sections; empty when it is
};

struct TreeVolume {
  uint64_t offset = 0;  // from the start of the data it lies in
  uint32_t size = 0;
  PiGuid fileSystem{};
  std::optional<PiGuid> name;  // from its extended header
  bool ffs = false;            // its file system holds FFS files (a variable store does not)
  // Where the volume lies when its PEIMs run, from their ImageBase; nullopt
  // when none tells, or when they disagree (then `error` says so).
  std::optional<uint32_t> base;
  uint32_t freeSpace = 0;  // erased bytes at its end
  std::vector<PiGuid> apriori;
  std::vector<TreeFile> files;
  // What is wrong with it: why its files could not be read, or its PEIMs
  // disagreeing about its base; empty when nothing is.
  std::string error;
};

struct FirmwareTree {
  std::vector<TreeVolume> volumes;  // in the image, in offset order
};

// Where a PE32 section lies in the tree, handed to the visitor of
// ReadFirmwareTree. The volume is read but for its files; the file has its
// name, type, state, UI name and a-priori flag, its sections are being read.
struct TreePe32 {
  const TreeVolume& volume;
  const TreeFile& file;
  const TreeSection& section;
  std::span<const uint8_t> image;  // the section's payload, valid during the call only
  // The containers from the image down to the volume, outermost first:
  // "volume at 0x84000", "file 9e21fd93-... at 0x78", "LZMA section", ...
  const std::vector<std::string>& path;
};
using Pe32Visitor = std::function<void(const TreePe32&)>;

// A volume once it and everything in it is read, handed to the visitor of
// ReadFirmwareTree with its bytes: those of the image, or of a decompressed
// section for a volume nested in one.
struct TreeVolumeBytes {
  const TreeVolume& volume;
  std::span<const uint8_t> bytes;  // valid during the call only
  // The containers from the image down to the volume itself, outermost first.
  const std::vector<std::string>& path;
};
using VolumeVisitor = std::function<void(const TreeVolumeBytes&)>;

// The tree of `image` (a flash image, a BIOS region or a firmware code
// file): every volume found at an 8-byte boundary at its top level, each
// walked as the header comment says. Nested volumes go at most a few levels
// deep. `onPe32`, when given, sees every PE32 section of a file, also one
// inside an opened GUID-defined section, as the walk passes it; `onVolume`
// sees every volume, nested ones before the volume that holds them.
FirmwareTree ReadFirmwareTree(std::span<const uint8_t> image, const Pe32Visitor& onPe32 = {},
                              const VolumeVisitor& onVolume = {});

}  // namespace firmware
