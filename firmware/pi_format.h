// The PI firmware storage records, byte for byte as they lie in a flash
// image: the firmware volume header with its block map and extended header,
// the FFS file header with its checksums and attributes, the common and the
// GUID-defined section headers, dependency expression opcodes, and the LZMA
// "alone" stream header found inside compressed sections. The volume,
// file and section code and the packaging use these; no layout offset is
// spelled as a number anywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace firmware {

// A GUID as stored: a 32-bit and two 16-bit numbers, then eight bytes, all
// little-endian.
struct PiGuid {
  uint8_t bytes[16];
  friend bool operator==(const PiGuid&, const PiGuid&) = default;
};
static_assert(sizeof(PiGuid) == 16);

#pragma pack(push, 1)

// ---- Firmware volume -------------------------------------------------------

struct FvBlockMapEntry {
  uint32_t NumBlocks;
  uint32_t Length;  // bytes per block
};
static_assert(sizeof(FvBlockMapEntry) == 8);

// Followed by the block map, a list of FvBlockMapEntry ended by {0, 0};
// HeaderLength covers both.
struct FirmwareVolumeHeader {
  uint8_t ZeroVector[16];
  PiGuid FileSystemGuid;
  uint64_t FvLength;
  uint32_t Signature;  // FV_SIGNATURE
  uint32_t Attributes;
  uint16_t HeaderLength;
  uint16_t Checksum;  // the header's 16-bit words sum to zero
  uint16_t ExtHeaderOffset;  // 0: none
  uint8_t Reserved;
  uint8_t Revision;
};
static_assert(sizeof(FirmwareVolumeHeader) == 56);
static_assert(offsetof(FirmwareVolumeHeader, FileSystemGuid) == 16);
static_assert(offsetof(FirmwareVolumeHeader, FvLength) == 32);
static_assert(offsetof(FirmwareVolumeHeader, Signature) == 40);
static_assert(offsetof(FirmwareVolumeHeader, Attributes) == 44);
static_assert(offsetof(FirmwareVolumeHeader, HeaderLength) == 48);
static_assert(offsetof(FirmwareVolumeHeader, Checksum) == 50);
static_assert(offsetof(FirmwareVolumeHeader, ExtHeaderOffset) == 52);
static_assert(offsetof(FirmwareVolumeHeader, Revision) == 55);

// Lies in the data of the volume's first file (a pad file); ExtHeaderSize
// counts the entries that follow it too.
struct FirmwareVolumeExtHeader {
  PiGuid FvName;
  uint32_t ExtHeaderSize;
};
static_assert(sizeof(FirmwareVolumeExtHeader) == 20);
static_assert(offsetof(FirmwareVolumeExtHeader, ExtHeaderSize) == 16);

inline constexpr uint32_t FV_SIGNATURE = 0x4856465F;  // "_FVH"
inline constexpr uint8_t FV_REVISION = 2;
inline constexpr uint32_t FVB2_ERASE_POLARITY = 0x00000800;  // erased bytes read 0xFF
// Files start at 8-byte boundaries from the volume's first byte.
inline constexpr uint32_t FFS_FILE_ALIGNMENT = 8;

// ---- FFS file --------------------------------------------------------------

struct FfsFileHeader {
  PiGuid Name;
  uint8_t HeaderChecksum;  // the header's bytes sum to zero, File and State counted as zero
  uint8_t FileChecksum;    // with FFS_ATTRIB_CHECKSUM the data's sum, else FFS_FIXED_CHECKSUM
  uint8_t Type;
  uint8_t Attributes;
  uint8_t Size[3];  // header included; FfsFileHeader2 when it does not fit
  uint8_t State;
};
static_assert(sizeof(FfsFileHeader) == 24);
static_assert(offsetof(FfsFileHeader, HeaderChecksum) == 16);
static_assert(offsetof(FfsFileHeader, FileChecksum) == 17);
static_assert(offsetof(FfsFileHeader, Type) == 18);
static_assert(offsetof(FfsFileHeader, Attributes) == 19);
static_assert(offsetof(FfsFileHeader, Size) == 20);
static_assert(offsetof(FfsFileHeader, State) == 23);

// A file of 16 MiB or more: Size is zero, FFS_ATTRIB_LARGE_FILE is set.
struct FfsFileHeader2 {
  FfsFileHeader header;
  uint64_t ExtendedSize;
};
static_assert(sizeof(FfsFileHeader2) == 32);
static_assert(offsetof(FfsFileHeader2, ExtendedSize) == 24);

inline constexpr uint8_t FV_FILETYPE_RAW = 0x01;
inline constexpr uint8_t FV_FILETYPE_FREEFORM = 0x02;
inline constexpr uint8_t FV_FILETYPE_PEI_CORE = 0x04;
inline constexpr uint8_t FV_FILETYPE_DXE_CORE = 0x05;
inline constexpr uint8_t FV_FILETYPE_PEIM = 0x06;
inline constexpr uint8_t FV_FILETYPE_MM = 0x0A;  // an MM (SMM) driver
inline constexpr uint8_t FV_FILETYPE_FIRMWARE_VOLUME_IMAGE = 0x0B;
inline constexpr uint8_t FV_FILETYPE_COMBINED_MM_DXE = 0x0C;
inline constexpr uint8_t FV_FILETYPE_MM_CORE = 0x0D;
inline constexpr uint8_t FV_FILETYPE_MM_STANDALONE = 0x0E;
inline constexpr uint8_t FV_FILETYPE_MM_CORE_STANDALONE = 0x0F;
inline constexpr uint8_t FV_FILETYPE_FFS_PAD = 0xF0;

inline constexpr uint8_t FFS_ATTRIB_LARGE_FILE = 0x01;
inline constexpr uint8_t FFS_ATTRIB_DATA_ALIGNMENT_2 = 0x02;  // selects the upper alignment table
inline constexpr uint8_t FFS_ATTRIB_FIXED = 0x04;
inline constexpr uint8_t FFS_ATTRIB_DATA_ALIGNMENT = 0x38;  // bits 3-5
inline constexpr uint8_t FFS_ATTRIB_DATA_ALIGNMENT_SHIFT = 3;
inline constexpr uint8_t FFS_ATTRIB_CHECKSUM = 0x40;
inline constexpr uint8_t FFS_FIXED_CHECKSUM = 0xAA;

// The data alignment that the three alignment bits encode, in bytes:
// 1, 16, 128, 512, 1 KiB, 4 KiB, 32 KiB, 64 KiB; with
// FFS_ATTRIB_DATA_ALIGNMENT_2 128 KiB to 16 MiB by powers of two.
inline constexpr uint32_t FFS_DATA_ALIGNMENTS[8] = {1, 16, 128, 512, 1024, 4096, 32768, 65536};
inline constexpr uint32_t FFS_DATA_ALIGNMENTS_2[8] = {128u << 10, 256u << 10, 512u << 10, 1u << 20,
                                                      2u << 20,   4u << 20,   8u << 20,   16u << 20};

// State bits, set one after the other as a file is written; with erase
// polarity 1 they are stored inverted.
inline constexpr uint8_t EFI_FILE_HEADER_CONSTRUCTION = 0x01;
inline constexpr uint8_t EFI_FILE_HEADER_VALID = 0x02;
inline constexpr uint8_t EFI_FILE_DATA_VALID = 0x04;
inline constexpr uint8_t EFI_FILE_DELETED = 0x10;
inline constexpr uint8_t EFI_FILE_HEADER_INVALID = 0x20;
inline constexpr uint8_t FFS_STATE_VALID = EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID;

// The largest size the 24-bit fields hold; larger files and sections use the
// extended headers.
inline constexpr uint32_t FFS_MAX_SIZE_24 = 0xFFFFFF;

// ---- Sections --------------------------------------------------------------

// Sections start at 4-byte boundaries from the start of the file's data.
inline constexpr uint32_t SECTION_ALIGNMENT = 4;

struct CommonSectionHeader {
  uint8_t Size[3];  // header included; 0xFFFFFF: CommonSectionHeader2
  uint8_t Type;
};
static_assert(sizeof(CommonSectionHeader) == 4);
static_assert(offsetof(CommonSectionHeader, Type) == 3);

struct CommonSectionHeader2 {
  CommonSectionHeader header;
  uint32_t ExtendedSize;
};
static_assert(sizeof(CommonSectionHeader2) == 8);

// After the common header; the section's payload starts DataOffset bytes from
// the section's first byte.
struct GuidDefinedSectionFields {
  PiGuid SectionDefinitionGuid;
  uint16_t DataOffset;
  uint16_t Attributes;
};
static_assert(sizeof(GuidDefinedSectionFields) == 20);
static_assert(offsetof(GuidDefinedSectionFields, DataOffset) == 16);
static_assert(offsetof(GuidDefinedSectionFields, Attributes) == 18);

inline constexpr uint16_t EFI_GUIDED_SECTION_PROCESSING_REQUIRED = 0x01;

inline constexpr uint8_t EFI_SECTION_COMPRESSION = 0x01;
inline constexpr uint8_t EFI_SECTION_GUID_DEFINED = 0x02;
inline constexpr uint8_t EFI_SECTION_PE32 = 0x10;
inline constexpr uint8_t EFI_SECTION_TE = 0x12;
inline constexpr uint8_t EFI_SECTION_USER_INTERFACE = 0x15;  // UCS-2 text ended by a zero character
inline constexpr uint8_t EFI_SECTION_FIRMWARE_VOLUME_IMAGE = 0x17;
inline constexpr uint8_t EFI_SECTION_RAW = 0x19;
inline constexpr uint8_t EFI_SECTION_PEI_DEPEX = 0x1B;

// Dependency expression opcodes.
inline constexpr uint8_t EFI_DEP_PUSH = 0x02;
inline constexpr uint8_t EFI_DEP_AND = 0x03;
inline constexpr uint8_t EFI_DEP_TRUE = 0x06;
inline constexpr uint8_t EFI_DEP_END = 0x08;

// ---- LZMA "alone" stream ---------------------------------------------------

// The 13 bytes in front of the compressed data of an LZMA GUID-defined section.
struct LzmaAloneHeader {
  uint8_t Properties;  // (pb * 5 + lp) * 9 + lc
  uint32_t DictionarySize;
  uint64_t UncompressedSize;  // all ones: unknown, the stream ends with a marker
};
static_assert(sizeof(LzmaAloneHeader) == 13);
static_assert(offsetof(LzmaAloneHeader, DictionarySize) == 1);
static_assert(offsetof(LzmaAloneHeader, UncompressedSize) == 5);

#pragma pack(pop)

// ---- GUIDs -----------------------------------------------------------------

// 8c8ce578-8a3d-4f1c-9935-896185c32dd3: a volume of FFS files.
inline constexpr PiGuid FFS2_FILE_SYSTEM_GUID = {
    {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F, 0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
// 5473c07a-3dcb-4dca-bd6f-1e9689e7349a: the same, with large files allowed.
inline constexpr PiGuid FFS3_FILE_SYSTEM_GUID = {
    {0x7A, 0xC0, 0x73, 0x54, 0xCB, 0x3D, 0xCA, 0x4D, 0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A}};
// ee4e5898-3914-4259-9d6e-dc7bd79403cf: a GUID-defined section holding an LZMA stream.
inline constexpr PiGuid LZMA_SECTION_GUID = {
    {0x98, 0x58, 0x4E, 0xEE, 0x14, 0x39, 0x59, 0x42, 0x9D, 0x6E, 0xDC, 0x7B, 0xD7, 0x94, 0x03, 0xCF}};
// 1b45cc0a-156a-428a-af62-49864da0e6e6: the PEI a-priori file, a list of
// GUIDs of PEIMs that the PEI core dispatches first, in that order.
inline constexpr PiGuid PEI_APRIORI_FILE_GUID = {
    {0x0A, 0xCC, 0x45, 0x1B, 0x6A, 0x15, 0x8A, 0x42, 0xAF, 0x62, 0x49, 0x86, 0x4D, 0xA0, 0xE6, 0xE6}};

}  // namespace firmware
