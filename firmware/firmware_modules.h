// The module's copies inside an image's firmware volumes, compressed or not:
// every PEIM file named VERIFLASH_PEIM_GUID, and every other PEIM whose
// image, with its rebase undone, is byte for byte the shipped build. Each
// copy comes with where it lies and where the board runs it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/pi_format.h"

namespace firmware {

struct FirmwareModule {
  // The containers from the image down to its volume, outermost first, as
  // TreePe32::path gives them.
  std::vector<std::string> path;
  uint64_t volumeOffset = 0;  // from the start of the data the volume lies in
  std::optional<PiGuid> volumeName;
  PiGuid file{};
  uint32_t fileIndex = 0;  // TreeFile::index of its file
  std::string uiName;  // empty without a user-interface section
  uint32_t fileOffset = 0;     // in its volume
  uint32_t sectionOffset = 0;  // of its PE32 section, from the start of the file's data
  std::vector<uint8_t> pe32;   // the image as stored in the section
  // Where its image runs in place (its ImageBase when the volume's base is
  // not known) and its entry point there.
  uint32_t imageBase = 0;
  uint32_t entry = 0;
  uint32_t sizeOfImage = 0;
  bool inPlaceKnown = false;  // imageBase follows from the volume's base
  // Listed in its volume's a-priori file: the PEI core runs it in place
  // before permanent memory; otherwise it is shadowed to memory and run there.
  bool preMemory = false;
  bool namedAsModule = false;  // its file is named VERIFLASH_PEIM_GUID
  // Byte-identical to the shipped build once both are rebased to the shipped
  // ImageBase; nullopt when no shipped build was given.
  std::optional<bool> identicalToShipped;
  std::string unusable;  // why its PE32 image cannot run; empty when it can
};

// In the order the walk meets them. `shipped` (the shipped veriflash.efi)
// may be empty: then only files named VERIFLASH_PEIM_GUID are found. Throws
// PeError when `shipped` is given but is no usable PE32 image; the image's
// contents never make it throw.
std::vector<FirmwareModule> FindModulesInFirmware(std::span<const uint8_t> image,
                                                  std::span<const uint8_t> shipped = {});

}  // namespace firmware
