// Two flash images compared byte for byte, each differing range named as
// deeply as the images tell: descriptor region, firmware volume, file,
// section, and the parts of the end-of-PEI check it touches (checked region,
// FIT, manifest and its reference digest, placed module). A file whose
// compressed or nested volumes differ is opened in both images and the files
// inside compared by name. No printing: the reports are diff_report.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firmware/pi_format.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"

namespace veriflash {

// Differences closer than this are one range, so that a rewritten block is
// one line and not one per byte that happens to stay the same.
inline constexpr uint64_t DIFF_MERGE_GAP = 64;
// Ranges and files listed in full; the rest are counted.
inline constexpr size_t MAX_LISTED_RANGES = 16;
inline constexpr size_t MAX_LISTED_FILES = 32;

// What the check reads that a range overlaps.
struct CheckParts {
  bool region = false;           // the checked region
  bool fitPointer = false;       // the word at 0xFFFFFFC0
  bool fit = false;              // the FIT's entries
  bool manifest = false;         // the manifest, its reference digest aside
  bool referenceDigest = false;  // the manifest's reference digest
  bool module = false;           // the placed module
  bool variableStore = false;    // a variable-store volume

  void Add(const CheckParts& other);
};

// The differences of a full dump outside its mapped BIOS bytes, by descriptor region.
struct RegionChange {
  std::string region;  // "ME", "descriptor", "BIOS" (below the mapped window), "outside every region"
  uint64_t ranges = 0;
  uint64_t bytes = 0;  // that differ
  uint64_t first = 0;  // file offset of the first, and one past the last
  uint64_t end = 0;
};

// A differing range of the mapped window.
struct DiffRange {
  uint32_t address = 0;  // of its first byte
  uint64_t offset = 0;   // in the first file
  uint64_t size = 0;
  std::string volume;               // "volume <name> at 0x...", empty outside every volume
  std::string file;                 // "<GUID> (<UI name>)" of the file its first byte lies in
  std::string section;              // "PE32 section at 0x..." in that file
  uint32_t files = 0;               // files it overlaps
  CheckParts parts;
};

// A file whose bytes differ between the images, found by its name.
struct ChangedFile {
  std::string volume;  // as DiffRange::volume, "" inside a nested volume's description
  firmware::PiGuid name{};
  std::string uiName;
  std::string change;  // "changed", "added" or "removed"
  bool inRegion = false;  // some of its differing bytes lie in the checked region
  // Files that differ inside its compressed or nested volumes.
  std::vector<ChangedFile> inside;
  std::string unopened;  // why its insides were not compared; empty when they were or it has none
};

struct ImageDiff {
  uint64_t differingBytes = 0;
  uint64_t rangeCount = 0;
  std::vector<DiffRange> ranges;        // the first MAX_LISTED_RANGES of the mapped window
  std::vector<RegionChange> unmapped;  // in file order
  // The bytes outside the mapped windows were compared: false for dumps of
  // different sizes or layouts, of which only the BIOS regions compare.
  bool wholeFiles = true;
  uint64_t fileCount = 0;
  std::vector<ChangedFile> files;  // the first MAX_LISTED_FILES top-level files that differ
  CheckParts parts;                // of all ranges
  bool outsideVariableStore = false;  // some range lies outside every variable store
  bool passesA = false, passesB = false;
  // Every mapped range as addresses (first, end), those less than a 4096th
  // of the window apart merged: what a map of the window can draw.
  std::vector<std::pair<uint64_t, uint64_t>> drawn;

  bool Identical() const { return rangeCount == 0; }
};

// Throws ToolError, naming both files, when they cannot be compared: of
// different sizes (unless both are dumps whose BIOS regions map alike), or
// one a dump and the other not.
ImageDiff DiffImages(const FlashFile& a, const Analysis& analysisA, const FlashFile& b, const Analysis& analysisB);

// What the differences mean for the check, one sentence per fact, most
// important first.
std::vector<std::string> DiffMeaning(const ImageDiff& diff);

}  // namespace veriflash
