#include "emu/pe_loader.h"

#include <algorithm>
#include <cstring>

#include "vplat/flash_image.h"
#include "vplat/hex.h"

namespace emu {
namespace {

// Offsets within the headers (PE/COFF: DOS header, "PE\0\0", COFF file
// header, PE32 optional header with its data directories, section table).
constexpr uint32_t DOS_LFANEW = 0x3C;
constexpr uint32_t COFF_HEADER_SIZE = 20;
constexpr uint32_t OPT_ENTRY = 16, OPT_IMAGE_BASE = 28, OPT_SECTION_ALIGNMENT = 32, OPT_FILE_ALIGNMENT = 36,
                   OPT_SIZE_OF_IMAGE = 56, OPT_SIZE_OF_HEADERS = 60, OPT_SUBSYSTEM = 68,
                   OPT_DIRECTORY_COUNT = 92, OPT_DIRECTORIES = 96;
constexpr uint32_t DIRECTORY_IMPORT = 1, DIRECTORY_BASE_RELOCATION = 5;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint16_t REL_ABSOLUTE = 0, REL_HIGHLOW = 3;
constexpr uint32_t CHECKED_REGION_END = vplat::REGION_BASE + vplat::REGION_SIZE;

using vplat::Hex;

[[noreturn]] void Fail(const std::string& reason) { throw PeError(reason); }

// Little-endian reads that fail with `what` when they would pass the end.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint16_t U16(uint64_t at, const char* what) const { return static_cast<uint16_t>(Get(at, 2, what)); }
  uint32_t U32(uint64_t at, const char* what) const { return static_cast<uint32_t>(Get(at, 4, what)); }

 private:
  uint64_t Get(uint64_t at, unsigned width, const char* what) const {
    if (at + width > bytes_.size()) Fail(std::string("file truncated: ") + what + " lies past the end of the file");
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= uint64_t{bytes_[at + i]} << (8 * i);
    return value;
  }
  const std::vector<uint8_t>& bytes_;
};

const char* RelocationTypeName(uint16_t type) {
  static const char* const names[] = {"ABSOLUTE",    "HIGH",         "LOW",        "HIGHLOW",
                                      "HIGHADJ",     "MIPS_JMPADDR", "reserved",   "THUMB_MOV32",
                                      "RISCV_LOW12S", "IA64_IMM64",  "DIR64"};
  return type < sizeof names / sizeof names[0] ? names[type] : "unknown";
}

// Calls `fixup(rva)` for every HIGHLOW entry of the relocation directory.
template <typename Fixup>
void ForEachRelocation(const std::vector<uint8_t>& efi, const PeInfo& info, Fixup fixup) {
  const Reader r(efi);
  const uint64_t end = uint64_t{info.relocationRva} + info.relocationSize;
  for (uint64_t block = info.relocationRva; block < end;) {
    if (end - block < 8) Fail("base relocation block header at " + Hex(block) + " is cut off by the directory end");
    const uint32_t page = r.U32(block, "base relocation block");
    const uint32_t blockSize = r.U32(block + 4, "base relocation block");
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - block)
      Fail("base relocation block at " + Hex(block) + " has a bad size " + Hex(blockSize));
    for (uint64_t at = block + 8; at < block + blockSize; at += 2) {
      const uint16_t entry = r.U16(at, "base relocation entry");
      const uint16_t type = entry >> 12;
      const uint64_t rva = uint64_t{page} + (entry & 0x0FFFu);
      if (type == REL_ABSOLUTE) continue;  // padding
      if (type != REL_HIGHLOW)
        Fail("base relocation of unsupported type " + std::to_string(type) + " (" + RelocationTypeName(type) +
             ") at RVA " + Hex(rva));
      if (rva + 4 > info.sizeOfImage) Fail("base relocation at RVA " + Hex(rva) + " lies outside the image");
      fixup(static_cast<uint32_t>(rva));
    }
    block += blockSize;
  }
}

void ReadSections(const Reader& r, const std::vector<uint8_t>& efi, uint64_t table, uint16_t count, PeInfo& info) {
  if (table + uint64_t{count} * SECTION_HEADER_SIZE > efi.size())
    Fail("section table (" + std::to_string(count) + " sections at " + Hex(table) + ") ends past the end of the file (" +
         Hex(efi.size()) + ")");
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t at = table + uint64_t{i} * SECTION_HEADER_SIZE;
    PeSection s;
    char name[9] = {};
    std::memcpy(name, &efi[at], 8);
    s.name = name;
    s.virtualSize = r.U32(at + 8, "section header");
    s.rva = r.U32(at + 12, "section header");
    s.rawSize = r.U32(at + 16, "section header");
    s.rawOffset = r.U32(at + 20, "section header");
    s.characteristics = r.U32(at + 36, "section header");
    if (s.rawSize != 0 && uint64_t{s.rawOffset} + s.rawSize > efi.size())
      Fail("section " + s.name + " raw data " + Hex(s.rawOffset) + "+" + Hex(s.rawSize) +
           " lies past the end of the file (" + Hex(efi.size()) + ")");
    if (s.rawSize != 0 && s.rawOffset != s.rva)
      Fail("section " + s.name + " at RVA " + Hex(s.rva) + " has file offset " + Hex(s.rawOffset) +
           ": not executable in place");
    if (uint64_t{s.rva} + std::max(s.virtualSize, s.rawSize) > info.sizeOfImage)
      Fail("section " + s.name + " ends past SizeOfImage " + Hex(info.sizeOfImage));
    info.sections.push_back(std::move(s));
  }
}

}  // namespace

PeInfo ReadPe(const std::vector<uint8_t>& efi) {
  const Reader r(efi);
  if (efi.size() < 2 || efi[0] != 'M' || efi[1] != 'Z') Fail("not a PE image: no MZ signature");
  const uint64_t pe = r.U32(DOS_LFANEW, "DOS header");
  if (r.U32(pe, "PE signature") != 0x00004550u) Fail("not a PE image: no PE signature at " + Hex(pe));
  const uint64_t coff = pe + 4;
  PeInfo info;
  info.machine = r.U16(coff, "COFF header");
  if (info.machine != PE_MACHINE_I386)
    Fail("machine " + Hex(info.machine) + " is not i386 (" + Hex(PE_MACHINE_I386) + ")");
  const uint16_t sectionCount = r.U16(coff + 2, "COFF header");
  const uint16_t optionalSize = r.U16(coff + 16, "COFF header");
  const uint64_t opt = coff + COFF_HEADER_SIZE;
  const uint16_t magic = r.U16(opt, "optional header");
  if (magic != PE_MAGIC_PE32)
    Fail("optional header magic " + Hex(magic) + (magic == 0x20B ? " is PE32+, not PE32" : " is not PE32") + " (" +
         Hex(PE_MAGIC_PE32) + ")");
  if (optionalSize < OPT_DIRECTORIES) Fail("optional header of " + std::to_string(optionalSize) + " bytes is too short");
  info.entryRva = r.U32(opt + OPT_ENTRY, "optional header");
  info.imageBase = r.U32(opt + OPT_IMAGE_BASE, "optional header");
  info.sectionAlignment = r.U32(opt + OPT_SECTION_ALIGNMENT, "optional header");
  info.fileAlignment = r.U32(opt + OPT_FILE_ALIGNMENT, "optional header");
  info.sizeOfImage = r.U32(opt + OPT_SIZE_OF_IMAGE, "optional header");
  info.sizeOfHeaders = r.U32(opt + OPT_SIZE_OF_HEADERS, "optional header");
  info.subsystem = r.U16(opt + OPT_SUBSYSTEM, "optional header");
  if (info.subsystem != PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER)
    Fail("subsystem " + std::to_string(info.subsystem) + " is not EFI boot service driver (11)");
  if (info.sectionAlignment != info.fileAlignment)
    Fail("section alignment " + Hex(info.sectionAlignment) + " differs from file alignment " +
         Hex(info.fileAlignment) + ": not executable in place");
  if (info.sectionAlignment == 0 || (info.sectionAlignment & (info.sectionAlignment - 1)) != 0)
    Fail("section alignment " + Hex(info.sectionAlignment) + " is not a power of two");

  const uint32_t directoryCount = r.U32(opt + OPT_DIRECTORY_COUNT, "optional header");
  auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
    rva = size = 0;
    const uint64_t at = opt + OPT_DIRECTORIES + 8ull * index;
    if (index >= directoryCount || at + 8 > opt + optionalSize) return;
    rva = r.U32(at, "data directory");
    size = r.U32(at + 4, "data directory");
  };
  uint32_t importRva, importSize;
  directory(DIRECTORY_IMPORT, importRva, importSize);
  if (importSize != 0) Fail("image has imports, which nothing here can resolve");
  directory(DIRECTORY_BASE_RELOCATION, info.relocationRva, info.relocationSize);
  if (info.relocationSize == 0) Fail("no base relocation directory: the image cannot be rebased");
  if (uint64_t{info.relocationRva} + info.relocationSize > efi.size())
    Fail("base relocation directory " + Hex(info.relocationRva) + "+" + Hex(info.relocationSize) +
         " lies past the end of the file");

  ReadSections(r, efi, opt + optionalSize, sectionCount, info);
  if (info.entryRva == 0 || info.entryRva >= info.sizeOfImage)
    Fail("entry point RVA " + Hex(info.entryRva) + " lies outside the image");
  ForEachRelocation(efi, info, [&](uint32_t) { ++info.relocationCount; });
  return info;
}

LoadedModule PlaceModule(std::vector<uint8_t>& image, const std::vector<uint8_t>& efi, uint32_t address) {
  LoadedModule module;
  module.info = ReadPe(efi);
  const PeInfo& info = module.info;
  if (address < CHECKED_REGION_END)
    Fail("module address " + Hex(address) + " lies below the end of the checked region " + Hex(CHECKED_REGION_END));
  if (address % info.sectionAlignment != 0)
    Fail("module address " + Hex(address) + " is not aligned to the section alignment " + Hex(info.sectionAlignment));
  if (!vplat::Contains(image, address, info.sizeOfImage))
    Fail("module of " + Hex(info.sizeOfImage) + " bytes at " + Hex(address) + " does not fit in the flash image");

  // Build the placed copy first so a relocation error leaves the image untouched.
  std::vector<uint8_t> placed(info.sizeOfImage, 0);
  std::memcpy(placed.data(), efi.data(), std::min<size_t>(efi.size(), placed.size()));
  for (const PeSection& s : info.sections)
    if (s.virtualSize > s.rawSize)
      std::memset(&placed[s.rva + s.rawSize], 0, s.virtualSize - s.rawSize);  // uninitialised data
  const uint32_t delta = address - info.imageBase;
  ForEachRelocation(efi, info, [&](uint32_t rva) {
    uint32_t value;
    std::memcpy(&value, &placed[rva], 4);
    value += delta;
    std::memcpy(&placed[rva], &value, 4);
  });
  vplat::Store(image, address, placed.data(), placed.size());

  module.base = address;
  module.entry = address + info.entryRva;
  module.size = info.sizeOfImage;
  return module;
}

}  // namespace emu
