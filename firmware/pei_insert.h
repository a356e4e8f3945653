// Puts the module into a firmware image's PEI volume, the volume that holds
// the PEI core, wherever it lies: directly in the image, or nested in a
// firmware-volume-image section, also one inside an LZMA-compressed
// GUID-defined section. The module's file goes into the volume's free space,
// its PE32 image rebased to the address it will run at, optionally listed in
// the a-priori file so that the PEI core dispatches it before permanent
// memory. Every container on the way out is written back to its original
// size with its checksums worked out again, and compressed streams are
// recompressed with their original properties.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/peim_file.h"

namespace firmware {

struct InsertOptions {
  std::optional<std::vector<uint8_t>> module;  // the .efi; nullopt rebuilds the containers only
  PeimFileOptions peim;
  bool preMemory = false;  // list the module in the PEI a-priori file
};

struct Recompression {
  uint32_t before = 0;  // compressed bytes
  uint32_t after = 0;
  uint64_t uncompressed = 0;
  double seconds = 0;
};

struct InsertReport {
  // The containers from the image down to the PEI volume, outermost first:
  // "volume at 0x0", "file 9e21fd93-... (type 0x0B)", "LZMA section", ...
  std::vector<std::string> path;
  uint32_t volumeSize = 0;
  uint32_t volumeBase = 0;  // where the PEI volume lies when its PEIMs run
  uint32_t freeBefore = 0;  // free bytes at the volume's end
  uint32_t freeAfter = 0;
  std::optional<uint32_t> fileOffset;    // of the module's file in the volume
  std::optional<uint32_t> imageAddress;  // where the module's image runs: its new ImageBase
  std::optional<uint32_t> entryAddress;
  std::vector<PiGuid> apriori;  // the a-priori list afterwards; empty when there is none
  std::vector<Recompression> recompressed;
};

struct InsertResult {
  std::vector<uint8_t> image;
  InsertReport report;
};

// The path on one line: "volume at 0x0 > file 9e21fd93-... (type 0x0B) at 0x78 > LZMA section".
std::string PathText(const InsertReport& report);

// Throws FirmwareError (no PEI volume, a PEI phase that is not IA-32, not
// enough free space, a stream that grows past its room, no way to tell where
// the volume runs, the module's name already taken; prefixed with the path to
// the container at fault) and PeError (a module that is not a usable PE32).
InsertResult InsertPeim(std::span<const uint8_t> image, const InsertOptions& options);

}  // namespace firmware
