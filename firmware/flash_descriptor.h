// The Intel flash descriptor that starts a full SPI flash dump: its
// signature, the map of its sections, and the region table that says where
// each region (descriptor, BIOS, ME, GbE, ...) lies in the flash. Only what
// it takes to find the regions is read; the records are laid out as in the
// file, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace firmware {

// A flash file that cannot be mapped: a malformed descriptor, or a size no
// flash has. The message is one line naming the problem.
class FlashImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t FLASH_DESCRIPTOR_SIGNATURE = 0x0FF0A55Au;  // FLVALSIG, bytes 5A A5 F0 0F
// Region 0, the descriptor itself, is the first 4 KiB block of the flash.
inline constexpr uint32_t FLASH_DESCRIPTOR_SIZE = 0x1000;
// Region bases and limits count 4 KiB blocks in 15-bit fields: a descriptor
// addresses at most 0x8000 blocks, 128 MiB.
inline constexpr uint32_t FLASH_BLOCK_SIZE = 0x1000;
inline constexpr uint16_t FLASH_BLOCK_MASK = 0x7FFF;
inline constexpr uint64_t FLASH_ADDRESSABLE_SIZE = uint64_t{FLASH_BLOCK_MASK + 1} * FLASH_BLOCK_SIZE;
// The densities a component record can state: 512 KiB << 0 .. 7.
inline constexpr uint64_t FLASH_COMPONENT_MIN = 512u << 10;
inline constexpr uint64_t FLASH_COMPONENT_MAX = 64u << 20;
// The map gives section bases in 16-byte units.
inline constexpr uint32_t FLASH_SECTION_UNIT = 16;
// Current chipsets define 16 region records; older ones fewer, with the next
// section right after them.
inline constexpr uint32_t FLASH_REGION_MAX_COUNT = 16;

inline constexpr uint32_t FLASH_REGION_DESCRIPTOR = 0;
inline constexpr uint32_t FLASH_REGION_BIOS = 1;
inline constexpr uint32_t FLASH_REGION_ME = 2;

// FLMAP0: where the component and region sections start.
struct FlashMap0 {
  uint8_t ComponentBase;   // FCBA, 16-byte units
  uint8_t ComponentCount;  // bits 1:0, components - 1
  uint8_t RegionBase;      // FRBA, 16-byte units
  uint8_t RegionCount;     // bits 2:0; not filled in by every chipset, so not relied on
};
static_assert(sizeof(FlashMap0) == 4);
static_assert(offsetof(FlashMap0, RegionBase) == 2);

// FLMAP1: where the master and PCH strap sections start.
struct FlashMap1 {
  uint8_t MasterBase;    // FMBA, 16-byte units
  uint8_t MasterCount;   // bits 2:0
  uint8_t StrapBase;     // FPSBA, 16-byte units
  uint8_t StrapLength;   // in 32-bit words
};
static_assert(sizeof(FlashMap1) == 4);
static_assert(offsetof(FlashMap1, StrapBase) == 2);

// The first 32 bytes of the flash.
struct FlashDescriptorHeader {
  uint8_t Reserved[16];  // all ones on chipsets that keep the signature at 0x10
  uint32_t Signature;
  FlashMap0 Map0;
  FlashMap1 Map1;
  uint32_t Map2;  // strap sections of other chipsets; not read
};
static_assert(sizeof(FlashDescriptorHeader) == 0x20);
static_assert(offsetof(FlashDescriptorHeader, Signature) == 0x10);
static_assert(offsetof(FlashDescriptorHeader, Map0) == 0x14);
static_assert(offsetof(FlashDescriptorHeader, Map1) == 0x18);
static_assert(offsetof(FlashDescriptorHeader, Map2) == 0x1C);

// FLCOMP, the first record of the component section.
struct FlashComponentRecord {
  uint8_t Density;  // bits 3:0 component 1: 512 KiB << n; bits 7:4 component 2, 0xF: none
  uint8_t Clocks[3];
};
static_assert(sizeof(FlashComponentRecord) == 4);

// FLREGn, one record of the region table. A region spans the blocks
// Base..Limit; Base above Limit (0x7FFF and 0 as written) marks it unused.
struct FlashRegionRecord {
  uint16_t Base;   // bits 14:0
  uint16_t Limit;  // bits 14:0
};
static_assert(sizeof(FlashRegionRecord) == 4);
static_assert(offsetof(FlashRegionRecord, Limit) == 2);

// A region in use, in flash offsets.
struct FlashRegion {
  uint32_t index = 0;
  uint32_t first = 0;
  uint32_t last = 0;  // inclusive

  uint64_t Size() const { return uint64_t{last} - first + 1; }
  bool operator==(const FlashRegion&) const = default;
};

// "BIOS", "ME", ...; "region 6" for indexes without a common name.
std::string FlashRegionName(uint32_t index);

struct FlashDescriptor {
  uint32_t regionTable = 0;         // file offset of FLREG0
  uint32_t regionRecords = 0;       // records the table holds
  std::vector<FlashRegion> regions;  // those in use, in table order
  FlashRegion bios;
};

// The signature at 0x10.
bool HasFlashDescriptor(std::span<const uint8_t> file);

// The regions of the descriptor at the start of `file`. Throws FlashImageError
// when the region table cannot be read, or when the BIOS region is unused,
// overlaps the descriptor or does not lie within the file.
FlashDescriptor ReadFlashDescriptor(std::span<const uint8_t> file);

// A descriptor block (FLASH_DESCRIPTOR_SIZE bytes) for a flash of
// `flashSize` bytes whose region table holds `regions` (each whole 4 KiB
// blocks) and marks every other record unused.
std::vector<uint8_t> BuildFlashDescriptor(const std::vector<FlashRegion>& regions, uint64_t flashSize);

}  // namespace firmware
