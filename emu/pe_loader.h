// A PE32 loader for execute-in-place modules: reads and validates the headers
// of an i386 EFI boot-service-driver image, and places a rebased copy of it
// into a flash image that ends at 4 GiB. Written from the PE/COFF format; it
// accepts only what can run in place from flash: section alignment equal to
// file alignment (every RVA is its file offset), base relocations of type
// HIGHLOW, no imports.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace emu {

// A malformed or unsuitable image; the message is one line naming the problem.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t PE_MACHINE_I386 = 0x014C;
inline constexpr uint16_t PE_MAGIC_PE32 = 0x010B;
inline constexpr uint16_t PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
inline constexpr uint32_t PE_SCN_CNT_CODE = 0x00000020;
inline constexpr uint32_t PE_SCN_MEM_EXECUTE = 0x20000000;

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

// A module placed in a flash image.
struct LoadedModule {
  uint32_t base = 0;   // physical address of the image's first byte
  uint32_t entry = 0;  // physical address of the entry point
  uint32_t size = 0;   // SizeOfImage
  PeInfo info;
};

// Throws PeError for anything malformed or not runnable in place.
PeInfo ReadPe(const std::vector<uint8_t>& efi);

// Copies the image to `address` in `image` (a flash image ending at 4 GiB),
// zero-fills what the file leaves uninitialised and applies the base
// relocations for that address. The module must lie wholly in the image, above
// the checked region (0xFFA70000..0xFFD3FFFF), aligned to its section
// alignment. Throws PeError; `image` is unchanged then.
LoadedModule PlaceModule(std::vector<uint8_t>& image, const std::vector<uint8_t>& efi, uint32_t address);

}  // namespace emu
