#include "firmware/flash_descriptor.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/hex.h"

namespace firmware {
namespace {

using common::Hex;

constexpr uint32_t ERASED_RECORD = 0xFFFFFFFFu;
constexpr uint8_t NO_SECOND_COMPONENT = 0xF0;

// Where the builder puts the sections, as current descriptors do.
constexpr uint32_t COMPONENT_SECTION_AT = 0x30;
constexpr uint32_t REGION_SECTION_AT = 0x40;
constexpr uint32_t MASTER_SECTION_AT = REGION_SECTION_AT + FLASH_REGION_MAX_COUNT * sizeof(FlashRegionRecord);
constexpr uint32_t STRAP_SECTION_AT = 0x100;

[[noreturn]] void Fail(const std::string& reason) { throw FlashImageError("flash descriptor: " + reason); }

template <typename T>
T RecordAt(std::span<const uint8_t> file, uint32_t at) {
  T record;
  std::memcpy(&record, file.data() + at, sizeof record);
  return record;
}

uint8_t SectionUnits(uint32_t offset) { return static_cast<uint8_t>(offset / FLASH_SECTION_UNIT); }

// The region table ends where the next section starts, after at most
// FLASH_REGION_MAX_COUNT records, and within the descriptor.
uint32_t RegionTableEnd(const FlashDescriptorHeader& header, uint32_t table) {
  uint32_t end = std::min(table + FLASH_REGION_MAX_COUNT * uint32_t{sizeof(FlashRegionRecord)}, FLASH_DESCRIPTOR_SIZE);
  for (uint8_t base : {header.Map0.ComponentBase, header.Map1.MasterBase, header.Map1.StrapBase}) {
    const uint32_t section = base * FLASH_SECTION_UNIT;
    if (section > table) end = std::min(end, section);
  }
  return end;
}

std::string Range(const FlashRegion& r) { return Hex(r.first) + "-" + Hex(r.last); }

}  // namespace

std::string FlashRegionName(uint32_t index) {
  switch (index) {
    case FLASH_REGION_DESCRIPTOR: return "descriptor";
    case FLASH_REGION_BIOS: return "BIOS";
    case FLASH_REGION_ME: return "ME";
    case 3: return "GbE";
    case 4: return "platform data";
    case 8: return "EC";
    default: return "region " + std::to_string(index);
  }
}

bool HasFlashDescriptor(std::span<const uint8_t> file) {
  return file.size() >= sizeof(FlashDescriptorHeader) &&
         RecordAt<FlashDescriptorHeader>(file, 0).Signature == FLASH_DESCRIPTOR_SIGNATURE;
}

FlashDescriptor ReadFlashDescriptor(std::span<const uint8_t> file) {
  if (file.size() < FLASH_DESCRIPTOR_SIZE)
    Fail("the file of " + Hex(file.size()) + " bytes ends inside the descriptor's first " + Hex(FLASH_DESCRIPTOR_SIZE) +
         " bytes");
  const auto header = RecordAt<FlashDescriptorHeader>(file, 0);
  if (header.Signature != FLASH_DESCRIPTOR_SIGNATURE) Fail("no signature 0x0FF0A55A at offset 0x10");

  FlashDescriptor d;
  d.regionTable = header.Map0.RegionBase * FLASH_SECTION_UNIT;
  if (d.regionTable < sizeof header)
    Fail("the region table at offset " + Hex(d.regionTable) + " (FLMAP0) overlaps the signature and the section map " +
         "at 0x10-0x1F");
  // Sections start on 16-byte boundaries, so even a cut table holds four
  // records, the BIOS region's among them.
  d.regionRecords = (RegionTableEnd(header, d.regionTable) - d.regionTable) / sizeof(FlashRegionRecord);

  for (uint32_t i = 0; i < d.regionRecords; ++i) {
    const uint32_t at = d.regionTable + i * uint32_t{sizeof(FlashRegionRecord)};
    const auto record = RecordAt<FlashRegionRecord>(file, at);
    const uint32_t base = record.Base & FLASH_BLOCK_MASK, limit = record.Limit & FLASH_BLOCK_MASK;
    uint32_t raw;
    std::memcpy(&raw, &record, sizeof raw);
    if (base > limit || raw == ERASED_RECORD) {
      if (i == FLASH_REGION_BIOS)
        Fail("the BIOS region (region 1) is empty: its record at offset " + Hex(at) + " holds " + Hex(raw, 8) +
             ", base " + Hex(base, 4) + " above limit " + Hex(limit, 4));
      continue;
    }
    d.regions.push_back({i, base * FLASH_BLOCK_SIZE, (limit + 1) * FLASH_BLOCK_SIZE - 1});
    if (i == FLASH_REGION_BIOS) d.bios = d.regions.back();
  }

  if (d.bios.first < FLASH_DESCRIPTOR_SIZE)
    Fail("the BIOS region " + Range(d.bios) + " overlaps the descriptor at 0x0-" + Hex(FLASH_DESCRIPTOR_SIZE - 1));
  if (d.bios.last >= file.size())
    Fail("the BIOS region " + Range(d.bios) + " lies outside the file, which ends at " + Hex(file.size() - 1));
  return d;
}

std::vector<uint8_t> BuildFlashDescriptor(const std::vector<FlashRegion>& regions, uint64_t flashSize) {
  if (!std::has_single_bit(flashSize) || flashSize < FLASH_COMPONENT_MIN || flashSize > FLASH_COMPONENT_MAX)
    throw FlashImageError("a flash of " + Hex(flashSize) + " bytes is not one flash component of 512 KiB to 64 MiB");
  std::vector<uint8_t> block(FLASH_DESCRIPTOR_SIZE, 0xFF);

  FlashDescriptorHeader header;
  std::memset(&header, 0xFF, sizeof header);
  header.Signature = FLASH_DESCRIPTOR_SIGNATURE;
  header.Map0 = {SectionUnits(COMPONENT_SECTION_AT), 0, SectionUnits(REGION_SECTION_AT), 0};
  header.Map1 = {SectionUnits(MASTER_SECTION_AT), 0, SectionUnits(STRAP_SECTION_AT), 0};
  header.Map2 = 0;
  std::memcpy(block.data(), &header, sizeof header);

  const auto density = static_cast<uint8_t>(std::countr_zero(flashSize / FLASH_COMPONENT_MIN));
  const FlashComponentRecord component{static_cast<uint8_t>(NO_SECOND_COMPONENT | density), {0, 0, 0}};
  std::memcpy(block.data() + COMPONENT_SECTION_AT, &component, sizeof component);

  std::vector<FlashRegionRecord> table(FLASH_REGION_MAX_COUNT, FlashRegionRecord{FLASH_BLOCK_MASK, 0});
  for (const FlashRegion& r : regions) {
    if (r.index >= FLASH_REGION_MAX_COUNT || r.first % FLASH_BLOCK_SIZE != 0 || (r.last + 1) % FLASH_BLOCK_SIZE != 0 ||
        r.first > r.last || r.last >= flashSize)
      throw FlashImageError(FlashRegionName(r.index) + " region " + Range(r) + " is not whole 4 KiB blocks of the flash");
    table[r.index] = {static_cast<uint16_t>(r.first / FLASH_BLOCK_SIZE), static_cast<uint16_t>(r.last / FLASH_BLOCK_SIZE)};
  }
  std::memcpy(block.data() + REGION_SECTION_AT, table.data(), table.size() * sizeof(FlashRegionRecord));
  return block;
}

}  // namespace firmware
