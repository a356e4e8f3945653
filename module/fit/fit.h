// Finding the boot policy manifest through the Firmware Interface Table at
// the top of the flash. Everything is read in place through physical
// addresses; out-parameters are written only on EFI_SUCCESS.
#pragma once

#include "module/types/efi_types.h"

inline constexpr uint32_t FIT_POINTER_ADDRESS = 0xFFFFFFC0u;
inline constexpr uint8_t FIT_TYPE_MASK = 0x7F;
inline constexpr uint8_t FIT_CHECKSUM_VALID = 0x80;
inline constexpr uint8_t FIT_TYPE_BOOT_POLICY_MANIFEST = 0x0C;
inline constexpr uint32_t FIT_ENTRY_SIZE = 16;
// The boot policy manifest's 32-byte reference SHA-256 digest, and how much
// of a manifest the check reads: the signature up to the end of the digest.
inline constexpr uint32_t MANIFEST_DIGEST_OFFSET = 0x4C;
inline constexpr uint32_t MANIFEST_DIGEST_SIZE = 32;
inline constexpr uint32_t MANIFEST_READ_SIZE = MANIFEST_DIGEST_OFFSET + MANIFEST_DIGEST_SIZE;

extern const uint8_t FIT_HEADER_SIGNATURE[8];  // "_FIT_   "
extern const uint8_t MANIFEST_SIGNATURE[8];    // "__ACBP__"

struct FitEntry {
  uint8_t Address[8];  // header: the signature; others: 64-bit component address
  uint8_t Size[3];     // 24-bit; in the header, the entry count including it
  uint8_t Reserved;
  uint16_t Version;
  uint8_t TypeAndFlags;  // bits 0-6 type, bit 7 checksum valid
  uint8_t Checksum;
};
static_assert(sizeof(FitEntry) == FIT_ENTRY_SIZE);
static_assert(offsetof(FitEntry, Size) == 8);
static_assert(offsetof(FitEntry, Version) == 12);
static_assert(offsetof(FitEntry, TypeAndFlags) == 14);
static_assert(offsetof(FitEntry, Checksum) == 15);

// The manifest whose first 8 bytes are MANIFEST_SIGNATURE, through the first
// type 0x0C entry of a valid FIT.
EFI_STATUS LocateBootPolicyManifest(PhysAddr* manifest);

// The first entry of type 0x0C.
EFI_STATUS FindManifestEntry(PhysAddr* entry);

// In: NULL_PHYS to start, or the entry found last. Out: the next type 0x0C
// entry. An address that is not exactly one of the table's entries is
// EFI_NOT_FOUND.
EFI_STATUS FindNextManifestEntry(PhysAddr* entry);

// The header entry, with its signature matched and, when its checksum-valid
// bit asks for it, its table summing to zero. A table that would run past
// 4 GiB is EFI_NOT_FOUND, never read around into low memory.
EFI_STATUS LocateFitHeader(PhysAddr* header);

// EFI_SUCCESS or EFI_CRC_ERROR.
EFI_STATUS VerifyFitChecksum(PhysAddr header);
