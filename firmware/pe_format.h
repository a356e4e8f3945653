// The PE/COFF records a PE32 image is made of, laid out byte for byte as in
// the file: the DOS stub header, the COFF file header, the PE32 optional
// header with its data directories, section headers and base relocation
// blocks. The reader, the rebaser, the firmware packaging and the tests'
// image builder all use these; nothing spells a header offset as a number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace firmware {

inline constexpr uint16_t PE_DOS_MAGIC = 0x5A4D;         // "MZ"
inline constexpr uint32_t PE_SIGNATURE = 0x00004550;     // "PE\0\0"
inline constexpr uint16_t PE_MACHINE_I386 = 0x014C;
inline constexpr uint16_t PE_MACHINE_X64 = 0x8664;
inline constexpr uint16_t TE_SIGNATURE = 0x5A56;         // "VZ"
inline constexpr uint16_t PE_MAGIC_PE32 = 0x010B;
inline constexpr uint16_t PE_MAGIC_PE32_PLUS = 0x020B;
inline constexpr uint16_t PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11;
inline constexpr uint32_t PE_SCN_CNT_CODE = 0x00000020;
inline constexpr uint32_t PE_SCN_CNT_INITIALIZED_DATA = 0x00000040;
inline constexpr uint32_t PE_SCN_MEM_DISCARDABLE = 0x02000000;
inline constexpr uint32_t PE_SCN_MEM_EXECUTE = 0x20000000;
inline constexpr uint32_t PE_SCN_MEM_READ = 0x40000000;
inline constexpr uint32_t PE_SCN_MEM_WRITE = 0x80000000;
inline constexpr uint16_t PE_FILE_EXECUTABLE_IMAGE = 0x0002;
inline constexpr uint16_t PE_FILE_32BIT_MACHINE = 0x0100;
inline constexpr uint16_t PE_FILE_DLL = 0x2000;

inline constexpr uint32_t PE_DIRECTORY_IMPORT = 1;
inline constexpr uint32_t PE_DIRECTORY_BASE_RELOCATION = 5;
inline constexpr uint32_t PE_DIRECTORY_COUNT = 16;

inline constexpr uint16_t PE_REL_BASED_ABSOLUTE = 0;  // padding
inline constexpr uint16_t PE_REL_BASED_HIGHLOW = 3;   // 32-bit address

// The DOS header: only its signature and the offset of the PE signature count.
struct PeDosHeader {
  uint16_t e_magic;
  uint8_t unused[0x3A];
  uint32_t e_lfanew;
};
static_assert(sizeof(PeDosHeader) == 64);
static_assert(offsetof(PeDosHeader, e_lfanew) == 0x3C);

// Follows the 4-byte PE signature.
struct CoffFileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
static_assert(sizeof(CoffFileHeader) == 20);
static_assert(offsetof(CoffFileHeader, NumberOfSections) == 2);
static_assert(offsetof(CoffFileHeader, TimeDateStamp) == 4);
static_assert(offsetof(CoffFileHeader, SizeOfOptionalHeader) == 16);
static_assert(offsetof(CoffFileHeader, Characteristics) == 18);

struct PeDataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};
static_assert(sizeof(PeDataDirectory) == 8);

// The PE32 optional header up to its data directories; NumberOfRvaAndSizes
// directories follow, as many as SizeOfOptionalHeader leaves room for.
struct PeOptionalHeader32 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint32_t BaseOfData;
  uint32_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t SizeOfStackReserve;
  uint32_t SizeOfStackCommit;
  uint32_t SizeOfHeapReserve;
  uint32_t SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
};
static_assert(sizeof(PeOptionalHeader32) == 96);
static_assert(offsetof(PeOptionalHeader32, AddressOfEntryPoint) == 16);
static_assert(offsetof(PeOptionalHeader32, ImageBase) == 28);
static_assert(offsetof(PeOptionalHeader32, SectionAlignment) == 32);
static_assert(offsetof(PeOptionalHeader32, FileAlignment) == 36);
static_assert(offsetof(PeOptionalHeader32, SizeOfImage) == 56);
static_assert(offsetof(PeOptionalHeader32, SizeOfHeaders) == 60);
static_assert(offsetof(PeOptionalHeader32, Subsystem) == 68);
static_assert(offsetof(PeOptionalHeader32, NumberOfRvaAndSizes) == 92);

// The optional header with all 16 directories, as a linker writes it.
struct PeOptionalHeader32Full {
  PeOptionalHeader32 header;
  PeDataDirectory DataDirectory[PE_DIRECTORY_COUNT];
};
static_assert(sizeof(PeOptionalHeader32Full) == 224);
static_assert(offsetof(PeOptionalHeader32Full, DataDirectory) == 96);

struct PeSectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};
static_assert(sizeof(PeSectionHeader) == 40);
static_assert(offsetof(PeSectionHeader, VirtualSize) == 8);
static_assert(offsetof(PeSectionHeader, VirtualAddress) == 12);
static_assert(offsetof(PeSectionHeader, SizeOfRawData) == 16);
static_assert(offsetof(PeSectionHeader, PointerToRawData) == 20);
static_assert(offsetof(PeSectionHeader, Characteristics) == 36);

// Followed by (SizeOfBlock - 8) / 2 entries of 16 bits: type in bits 12-15,
// offset within the page in bits 0-11.
struct PeBaseRelocationBlock {
  uint32_t VirtualAddress;  // the page's RVA
  uint32_t SizeOfBlock;     // header included
};
static_assert(sizeof(PeBaseRelocationBlock) == 8);

// The header of a TE image, the stripped PE form PEI images may take; only
// the fields before the data directories are described.
struct TeImageHeader {
  uint16_t Signature;
  uint16_t Machine;
  uint8_t NumberOfSections;
  uint8_t Subsystem;
  uint16_t StrippedSize;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint64_t ImageBase;
};
static_assert(sizeof(TeImageHeader) == 24);
static_assert(offsetof(TeImageHeader, Machine) == 2);
static_assert(offsetof(TeImageHeader, ImageBase) == 16);

constexpr uint16_t PeRelocationType(uint16_t entry) { return entry >> 12; }
constexpr uint16_t PeRelocationOffset(uint16_t entry) { return entry & 0x0FFF; }
constexpr uint16_t PeRelocationEntry(uint16_t type, uint16_t offset) {
  return static_cast<uint16_t>(type << 12 | (offset & 0x0FFF));
}

}  // namespace firmware
