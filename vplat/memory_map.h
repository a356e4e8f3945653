// The 32-bit physical address space: RAM, the flash image that ends at 4 GiB,
// and MMIO devices. Reads of addresses nobody owns return all ones (open
// bus); no address, however wild, can make the host touch memory outside the
// mapped buffers. Exact-width accesses to devices and to the open bus, and
// writes into flash, are logged; plain RAM and flash reads are not (the check
// reads megabytes of flash).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "vplat/access_log.h"
#include "vplat/device.h"

namespace vplat {

inline constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull;

class MemoryMap {
 public:
  explicit MemoryMap(AccessLog& log) : log_(log) {}

  // Regions may not overlap; a conflicting map request throws std::invalid_argument.
  void MapRam(uint32_t base, uint32_t size);
  void MapFlash(std::vector<uint8_t> image);  // ends at 4 GiB
  void MapMmio(uint32_t base, uint32_t size, MmioDevice* device);

  uint32_t FlashBase() const;
  const std::vector<uint8_t>& Flash() const;
  // The flash image's bytes for the host to change between runs (the
  // module's own writes into flash are dropped, as hardware drops them).
  std::span<uint8_t> MutableFlash();

  // Exact-width accesses; MMIO ones are routed to the device. An access that
  // straddles a region's end counts as an open-bus access.
  uint32_t Read(uint32_t address, uint8_t width);
  void Write(uint32_t address, uint8_t width, uint32_t value);

  // A range as host bytes, for reading in place. Inside one RAM or flash
  // region this is the buffer itself; otherwise a copy with open-bus bytes
  // where nothing is mapped (and where MMIO is, since devices are reached
  // only by exact-width accesses). A view is not an access: nothing is logged.
  const uint8_t* Bytes(uint32_t address, uint32_t length);
  // Writable bytes: RAM itself; anything else is a scratch copy whose writes
  // go nowhere, as hardware drops writes into flash.
  uint8_t* MutableBytes(uint32_t address, uint32_t length);

  // Plain host-side access for tests and the PEI core model: no log, no device.
  uint8_t* Ram(uint32_t address, uint32_t length);
  void Poke(uint32_t address, const void* data, uint32_t length);
  void Peek(uint32_t address, void* data, uint32_t length) const;
  uint32_t Peek32(uint32_t address) const;
  void Poke32(uint32_t address, uint32_t value);

  // Releases the scratch copies (pointers to them become invalid), for
  // another run on the same map.
  void Restart();

 private:
  enum class Kind { Ram, Flash, Mmio };
  struct Region {
    Kind kind;
    uint64_t base;
    uint64_t end;  // exclusive
    std::vector<uint8_t> bytes;
    MmioDevice* device = nullptr;
  };

  void Add(Region region);
  Region* Find(uint64_t address, uint64_t length);
  const Region* Find(uint64_t address, uint64_t length) const;
  uint8_t PlainByte(uint64_t address) const;
  uint8_t* Scratch(uint32_t address, uint32_t length);

  AccessLog& log_;
  std::vector<Region> regions_;
  std::deque<std::vector<uint8_t>> scratch_;
};

}  // namespace vplat
