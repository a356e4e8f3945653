// PE32 images that run in place from flash: reading and validating the headers
// of an i386 EFI boot-service-driver image, rebasing it to the address it will
// run at, and placing the rebased copy into a flash window that ends at 4 GiB.
// Accepts only what can run in place: section alignment equal to file
// alignment (every RVA is its file offset), HIGHLOW base relocations, no
// imports.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/pe_format.h"

namespace firmware {

// A malformed or unsuitable image; the message is one line naming the problem.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;

  bool Executable() const { return (characteristics & (PE_SCN_CNT_CODE | PE_SCN_MEM_EXECUTE)) != 0; }
};

struct PeInfo {
  uint16_t machine = 0;
  uint16_t subsystem = 0;
  uint32_t imageBase = 0;
  uint32_t entryRva = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t relocationRva = 0;
  uint32_t relocationSize = 0;
  uint32_t relocationCount = 0;  // HIGHLOW fix-ups, padding not counted
  std::vector<PeSection> sections;
};

// Throws PeError for anything malformed or not runnable in place, and for a
// SizeOfImage past what the file and its sections reach or past a 16 MiB
// flash window, so no caller allocates what a header field claims.
PeInfo ReadPe(std::span<const uint8_t> efi);

// The image as it lies in memory at `base`: SizeOfImage bytes, the file's
// bytes at their RVAs, uninitialised data zeroed, every HIGHLOW relocation
// applied and ImageBase set to `base`. Throws PeError.
std::vector<uint8_t> RebasePe(std::span<const uint8_t> efi, uint32_t base);

// A module placed in a flash window.
struct PlacedModule {
  uint32_t base = 0;   // physical address of the image's first byte
  uint32_t entry = 0;  // physical address of the entry point
  uint32_t size = 0;   // SizeOfImage
  PeInfo info;
};

// Writes RebasePe(efi, address) into `window`, whose last byte is at
// 0xFFFFFFFF. The module must lie wholly in the window, aligned to its section
// alignment. Throws PeError; `window` is unchanged then.
PlacedModule PlaceModule(std::span<uint8_t> window, std::span<const uint8_t> efi, uint32_t address);

}  // namespace firmware
