#include "firmware/pe_image.h"

#include <algorithm>
#include <cstring>

#include "common/hex.h"
#include "common/quote.h"
#include "firmware/flash_layout.h"
#include "firmware/pi_layout.h"

namespace firmware {
namespace {

using common::Hex;

[[noreturn]] void Fail(const std::string& reason) { throw PeError(reason); }

// A record of type T at `at`, or a PeError naming `what` when the file ends first.
template <typename T>
T Record(std::span<const uint8_t> bytes, uint64_t at, const char* what) {
  if (at > bytes.size() || sizeof(T) > bytes.size() - at)
    Fail(std::string("file truncated: ") + what + " lies past the end of the file");
  T record;
  std::memcpy(&record, bytes.data() + at, sizeof(T));
  return record;
}

const char* RelocationTypeName(uint16_t type) {
  static const char* const names[] = {"ABSOLUTE",    "HIGH",         "LOW",        "HIGHLOW",
                                      "HIGHADJ",     "MIPS_JMPADDR", "reserved",   "THUMB_MOV32",
                                      "RISCV_LOW12S", "IA64_IMM64",  "DIR64"};
  return type < std::size(names) ? names[type] : "unknown";
}

// Calls `fixup(rva)` for every HIGHLOW entry of the relocation directory.
template <typename Fixup>
void ForEachRelocation(std::span<const uint8_t> efi, const PeInfo& info, Fixup fixup) {
  const uint64_t end = uint64_t{info.relocationRva} + info.relocationSize;
  for (uint64_t block = info.relocationRva; block < end;) {
    if (end - block < sizeof(PeBaseRelocationBlock))
      Fail("base relocation block header at " + Hex(block) + " is cut off by the directory end");
    const auto header = Record<PeBaseRelocationBlock>(efi, block, "base relocation block");
    const uint32_t blockSize = header.SizeOfBlock;
    if (blockSize < sizeof header || blockSize % 2 != 0 || blockSize > end - block)
      Fail("base relocation block at " + Hex(block) + " has a bad size " + Hex(blockSize));
    for (uint64_t at = block + sizeof header; at < block + blockSize; at += 2) {
      const auto entry = Record<uint16_t>(efi, at, "base relocation entry");
      const uint16_t type = PeRelocationType(entry);
      const uint64_t rva = uint64_t{header.VirtualAddress} + PeRelocationOffset(entry);
      if (type == PE_REL_BASED_ABSOLUTE) continue;
      if (type != PE_REL_BASED_HIGHLOW)
        Fail("base relocation of unsupported type " + std::to_string(type) + " (" + RelocationTypeName(type) +
             ") at RVA " + Hex(rva));
      if (rva + 4 > info.sizeOfImage) Fail("base relocation at RVA " + Hex(rva) + " lies outside the image");
      fixup(static_cast<uint32_t>(rva));
    }
    block += blockSize;
  }
}

// A section's name in a message: as it is when it is all printable and has
// no blank, else quoted with escapes, so the message stays one line.
std::string ShownName(const std::string& name) {
  const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; });
  return plain ? name : common::QuoteText(name);
}

void ReadSections(std::span<const uint8_t> efi, uint64_t table, uint16_t count, PeInfo& info) {
  if (table + uint64_t{count} * sizeof(PeSectionHeader) > efi.size())
    Fail("section table (" + std::to_string(count) + " sections at " + Hex(table) + ") ends past the end of the file (" +
         Hex(efi.size()) + ")");
  for (uint16_t i = 0; i < count; ++i) {
    const auto h = Record<PeSectionHeader>(efi, table + uint64_t{i} * sizeof(PeSectionHeader), "section header");
    PeSection s;
    s.name.assign(h.Name, strnlen(h.Name, sizeof h.Name));
    s.virtualSize = h.VirtualSize;
    s.rva = h.VirtualAddress;
    s.rawSize = h.SizeOfRawData;
    s.rawOffset = h.PointerToRawData;
    s.characteristics = h.Characteristics;
    if (s.rawSize != 0 && uint64_t{s.rawOffset} + s.rawSize > efi.size())
      Fail("section " + ShownName(s.name) + " raw data " + Hex(s.rawOffset) + "+" + Hex(s.rawSize) +
           " lies past the end of the file (" + Hex(efi.size()) + ")");
    if (s.rawSize != 0 && s.rawOffset != s.rva)
      Fail("section " + ShownName(s.name) + " at RVA " + Hex(s.rva) + " has file offset " + Hex(s.rawOffset) +
           ": not executable in place");
    if (uint64_t{s.rva} + std::max(s.virtualSize, s.rawSize) > info.sizeOfImage)
      Fail("section " + ShownName(s.name) + " ends past SizeOfImage " + Hex(info.sizeOfImage));
    info.sections.push_back(std::move(s));
  }
}

// SizeOfImage decides what a rebase allocates: it must not pass what the
// file and its sections reach, rounded to the section alignment, nor what a
// flash window holds, since the image runs in place.
void RequireBoundedSize(std::span<const uint8_t> efi, const PeInfo& info) {
  uint64_t reach = std::max<uint64_t>(efi.size(), info.sizeOfHeaders);
  for (const PeSection& s : info.sections)
    reach = std::max<uint64_t>(reach, uint64_t{s.rva} + std::max(s.virtualSize, s.rawSize));
  reach = AlignUp(reach, info.sectionAlignment);
  if (info.sizeOfImage > reach)
    Fail("SizeOfImage " + Hex(info.sizeOfImage) + " is more than the " + Hex(reach) +
         " bytes the file and its sections reach");
  if (info.sizeOfImage > MAPPED_WINDOW_MAX)
    Fail("SizeOfImage " + Hex(info.sizeOfImage) + " is more than a flash window holds (" + Hex(MAPPED_WINDOW_MAX) +
         ")");
}

// Offset of the optional header within the file.
uint64_t OptionalHeaderAt(std::span<const uint8_t> efi) {
  return uint64_t{Record<PeDosHeader>(efi, 0, "DOS header").e_lfanew} + sizeof(uint32_t) + sizeof(CoffFileHeader);
}

}  // namespace

PeInfo ReadPe(std::span<const uint8_t> efi) {
  if (efi.size() < 2 || Record<uint16_t>(efi, 0, "DOS header") != PE_DOS_MAGIC) Fail("not a PE image: no MZ signature");
  const uint64_t pe = Record<PeDosHeader>(efi, 0, "DOS header").e_lfanew;
  if (Record<uint32_t>(efi, pe, "PE signature") != PE_SIGNATURE) Fail("not a PE image: no PE signature at " + Hex(pe));
  const auto coff = Record<CoffFileHeader>(efi, pe + sizeof(uint32_t), "COFF header");
  PeInfo info;
  info.machine = coff.Machine;
  if (info.machine != PE_MACHINE_I386)
    Fail("machine " + Hex(info.machine) + " is not i386 (" + Hex(PE_MACHINE_I386) + ")");
  const uint64_t optAt = OptionalHeaderAt(efi);
  const auto magic = Record<uint16_t>(efi, optAt, "optional header");
  if (magic != PE_MAGIC_PE32)
    Fail("optional header magic " + Hex(magic) + (magic == PE_MAGIC_PE32_PLUS ? " is PE32+, not PE32" : " is not PE32") +
         " (" + Hex(PE_MAGIC_PE32) + ")");
  if (coff.SizeOfOptionalHeader < sizeof(PeOptionalHeader32))
    Fail("optional header of " + std::to_string(coff.SizeOfOptionalHeader) + " bytes is too short");
  const auto opt = Record<PeOptionalHeader32>(efi, optAt, "optional header");
  info.entryRva = opt.AddressOfEntryPoint;
  info.imageBase = opt.ImageBase;
  info.sectionAlignment = opt.SectionAlignment;
  info.fileAlignment = opt.FileAlignment;
  info.sizeOfImage = opt.SizeOfImage;
  info.sizeOfHeaders = opt.SizeOfHeaders;
  info.subsystem = opt.Subsystem;
  if (info.subsystem != PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER)
    Fail("subsystem " + std::to_string(info.subsystem) + " is not EFI boot service driver (" +
         std::to_string(PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER) + ")");
  if (info.sectionAlignment != info.fileAlignment)
    Fail("section alignment " + Hex(info.sectionAlignment) + " differs from file alignment " +
         Hex(info.fileAlignment) + ": not executable in place");
  if (info.sectionAlignment == 0 || (info.sectionAlignment & (info.sectionAlignment - 1)) != 0)
    Fail("section alignment " + Hex(info.sectionAlignment) + " is not a power of two");

  // A directory the header has no room or no count for is empty.
  auto directory = [&](uint32_t index) {
    const uint64_t at = optAt + sizeof(PeOptionalHeader32) + sizeof(PeDataDirectory) * index;
    if (index >= opt.NumberOfRvaAndSizes || at + sizeof(PeDataDirectory) > optAt + coff.SizeOfOptionalHeader)
      return PeDataDirectory{};
    return Record<PeDataDirectory>(efi, at, "data directory");
  };
  if (directory(PE_DIRECTORY_IMPORT).Size != 0) Fail("image has imports, which nothing here can resolve");
  const PeDataDirectory relocations = directory(PE_DIRECTORY_BASE_RELOCATION);
  info.relocationRva = relocations.VirtualAddress;
  info.relocationSize = relocations.Size;
  if (info.relocationSize == 0) Fail("no base relocation directory: the image cannot be rebased");
  if (uint64_t{info.relocationRva} + info.relocationSize > efi.size())
    Fail("base relocation directory " + Hex(info.relocationRva) + "+" + Hex(info.relocationSize) +
         " lies past the end of the file");

  ReadSections(efi, optAt + coff.SizeOfOptionalHeader, coff.NumberOfSections, info);
  RequireBoundedSize(efi, info);
  if (info.entryRva == 0 || info.entryRva >= info.sizeOfImage)
    Fail("entry point RVA " + Hex(info.entryRva) + " lies outside the image");
  ForEachRelocation(efi, info, [&](uint32_t) { ++info.relocationCount; });
  return info;
}

std::vector<uint8_t> RebasePe(std::span<const uint8_t> efi, uint32_t base) {
  const PeInfo info = ReadPe(efi);
  std::vector<uint8_t> placed(info.sizeOfImage, 0);
  std::memcpy(placed.data(), efi.data(), std::min<size_t>(efi.size(), placed.size()));
  for (const PeSection& s : info.sections)
    if (s.virtualSize > s.rawSize)
      std::memset(&placed[s.rva + s.rawSize], 0, s.virtualSize - s.rawSize);  // uninitialised data
  const uint32_t delta = base - info.imageBase;
  ForEachRelocation(efi, info, [&](uint32_t rva) {
    uint32_t value;
    std::memcpy(&value, &placed[rva], 4);
    value += delta;
    std::memcpy(&placed[rva], &value, 4);
  });
  // The header then describes the image where it lies, as a rebasing linker leaves it.
  const uint64_t imageBaseAt = OptionalHeaderAt(efi) + offsetof(PeOptionalHeader32, ImageBase);
  if (imageBaseAt + sizeof base <= placed.size()) std::memcpy(&placed[imageBaseAt], &base, sizeof base);
  return placed;
}

PlacedModule PlaceModule(std::span<uint8_t> window, std::span<const uint8_t> efi, uint32_t address) {
  PlacedModule module;
  module.info = ReadPe(efi);
  const PeInfo& info = module.info;
  if (address % info.sectionAlignment != 0)
    Fail("module address " + Hex(address) + " is not aligned to the section alignment " + Hex(info.sectionAlignment));
  const uint64_t windowBase = FOUR_GIB - window.size();
  if (address < windowBase || uint64_t{address} + info.sizeOfImage > FOUR_GIB)
    Fail("module of " + Hex(info.sizeOfImage) + " bytes at " + Hex(address) + " does not fit in the flash image");
  const std::vector<uint8_t> placed = RebasePe(efi, address);
  std::memcpy(window.data() + (address - windowBase), placed.data(), placed.size());
  module.base = address;
  module.entry = address + info.entryRva;
  module.size = info.sizeOfImage;
  return module;
}

}  // namespace firmware
