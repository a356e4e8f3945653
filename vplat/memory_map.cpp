#include "vplat/memory_map.h"

#include <cstring>
#include <stdexcept>

namespace vplat {

void MemoryMap::Add(Region region) {
  for (const auto& r : regions_)
    if (region.base < r.end && r.base < region.end)
      throw std::invalid_argument("memory regions overlap");
  regions_.push_back(std::move(region));
}

void MemoryMap::MapRam(uint32_t base, uint32_t size) {
  Add({Kind::Ram, base, uint64_t{base} + size, std::vector<uint8_t>(size, 0)});
}

void MemoryMap::MapFlash(std::vector<uint8_t> image) {
  if (image.empty() || image.size() > ADDRESS_SPACE_END)
    throw std::invalid_argument("flash image size out of range");
  const uint64_t base = ADDRESS_SPACE_END - image.size();
  Add({Kind::Flash, base, ADDRESS_SPACE_END, std::move(image)});
}

void MemoryMap::MapMmio(uint32_t base, uint32_t size, MmioDevice* device) {
  Add({Kind::Mmio, base, uint64_t{base} + size, {}, device});
}

uint32_t MemoryMap::FlashBase() const {
  for (const auto& r : regions_)
    if (r.kind == Kind::Flash) return static_cast<uint32_t>(r.base);
  return 0;
}

const std::vector<uint8_t>& MemoryMap::Flash() const {
  static const std::vector<uint8_t> none;
  for (const auto& r : regions_)
    if (r.kind == Kind::Flash) return r.bytes;
  return none;
}

std::span<uint8_t> MemoryMap::MutableFlash() {
  for (auto& r : regions_)
    if (r.kind == Kind::Flash) return r.bytes;
  return {};
}

void MemoryMap::Restart() { scratch_.clear(); }

MemoryMap::Region* MemoryMap::Find(uint64_t address, uint64_t length) {
  for (auto& r : regions_)
    if (address >= r.base && address + length <= r.end) return &r;
  return nullptr;
}

const MemoryMap::Region* MemoryMap::Find(uint64_t address, uint64_t length) const {
  return const_cast<MemoryMap*>(this)->Find(address, length);
}

uint8_t MemoryMap::PlainByte(uint64_t address) const {
  const Region* r = Find(address, 1);
  if (r == nullptr || r->kind == Kind::Mmio) return 0xFF;
  return r->bytes[address - r->base];
}

uint32_t MemoryMap::Read(uint32_t address, uint8_t width) {
  if (Region* r = Find(address, width)) {
    if (r->kind == Kind::Mmio) {
      const uint32_t value = r->device->Read(static_cast<uint32_t>(address - r->base), width);
      log_.Record({AccessKind::MmioRead, address, width, value});
      return value;
    }
    uint32_t value = 0;
    std::memcpy(&value, &r->bytes[address - r->base], width);
    return value;
  }
  // Unowned or straddling: each byte on its own, open bus where unmapped.
  uint32_t value = 0;
  for (uint8_t i = 0; i < width; ++i) value |= uint32_t{PlainByte(uint64_t{address} + i)} << (8 * i);
  log_.Record({AccessKind::OpenBusRead, address, width, value});
  return value;
}

void MemoryMap::Write(uint32_t address, uint8_t width, uint32_t value) {
  Region* r = Find(address, width);
  if (r != nullptr && r->kind == Kind::Mmio) {
    log_.Record({AccessKind::MmioWrite, address, width, value});
    r->device->Write(static_cast<uint32_t>(address - r->base), width, value);
    return;
  }
  if (r != nullptr && r->kind == Kind::Ram) {
    std::memcpy(&r->bytes[address - r->base], &value, width);
    return;
  }
  log_.Record({r != nullptr ? AccessKind::FlashWrite : AccessKind::OpenBusWrite, address, width, value});
}

uint8_t* MemoryMap::Scratch(uint32_t address, uint32_t length) {
  // Kept until the map goes away, so a pointer handed out stays valid for the run.
  auto& copy = scratch_.emplace_back(length);
  for (uint32_t i = 0; i < length; ++i) copy[i] = PlainByte(uint64_t{address} + i);
  return copy.data();
}

const uint8_t* MemoryMap::Bytes(uint32_t address, uint32_t length) {
  Region* r = Find(address, length);
  if (r != nullptr && r->kind != Kind::Mmio) return r->bytes.data() + (address - r->base);
  return Scratch(address, length);
}

uint8_t* MemoryMap::MutableBytes(uint32_t address, uint32_t length) {
  Region* r = Find(address, length);
  if (r != nullptr && r->kind == Kind::Ram) return r->bytes.data() + (address - r->base);
  return Scratch(address, length);
}

uint8_t* MemoryMap::Ram(uint32_t address, uint32_t length) {
  Region* r = Find(address, length);
  if (r == nullptr || r->kind != Kind::Ram) throw std::out_of_range("not RAM");
  return r->bytes.data() + (address - r->base);
}

void MemoryMap::Poke(uint32_t address, const void* data, uint32_t length) {
  std::memcpy(Ram(address, length), data, length);
}

void MemoryMap::Peek(uint32_t address, void* data, uint32_t length) const {
  auto* out = static_cast<uint8_t*>(data);
  for (uint32_t i = 0; i < length; ++i) out[i] = PlainByte(uint64_t{address} + i);
}

uint32_t MemoryMap::Peek32(uint32_t address) const {
  uint32_t value;
  Peek(address, &value, 4);
  return value;
}

void MemoryMap::Poke32(uint32_t address, uint32_t value) { Poke(address, &value, 4); }

}  // namespace vplat
