#include "module/fit/fit.h"

#include "module/base/mem.h"
#include "module/hw/hw.h"

const uint8_t FIT_HEADER_SIGNATURE[8] = {'_', 'F', 'I', 'T', '_', ' ', ' ', ' '};
const uint8_t MANIFEST_SIGNATURE[8] = {'_', '_', 'A', 'C', 'B', 'P', '_', '_'};

namespace {

uint32_t EntryCount(PhysAddr header) {
  const PhysAddr size = header + offsetof(FitEntry, Size);
  return hw::Read8(size) | uint32_t{hw::Read8(size + 1)} << 8 | uint32_t{hw::Read8(size + 2)} << 16;
}

uint8_t TypeAndFlags(PhysAddr entry) { return hw::Read8(entry + offsetof(FitEntry, TypeAndFlags)); }

bool SignatureAt(PhysAddr address, const uint8_t (&signature)[8]) {
  return MemCompare(hw::Bytes(address, sizeof signature), signature, sizeof signature) == 0;
}

}  // namespace

EFI_STATUS VerifyFitChecksum(PhysAddr header) {
  if ((TypeAndFlags(header) & FIT_CHECKSUM_VALID) == 0) return EFI_SUCCESS;
  // At most 16 x 0xFFFFFF bytes, so the length fits in 32 bits.
  const uint32_t length = EntryCount(header) * FIT_ENTRY_SIZE;
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + hw::Read8(header + i));
  return sum == 0 ? EFI_SUCCESS : EFI_CRC_ERROR;
}

EFI_STATUS LocateFitHeader(PhysAddr* header) {
  if (header == nullptr) return EFI_INVALID_PARAMETER;
  const PhysAddr fit = Phys(hw::Read32(Phys(FIT_POINTER_ADDRESS)));
  if (!FitsBelow4G(fit, FIT_ENTRY_SIZE) || !SignatureAt(fit, FIT_HEADER_SIGNATURE)) return EFI_NOT_FOUND;
  if (!FitsBelow4G(fit, EntryCount(fit) * FIT_ENTRY_SIZE)) return EFI_NOT_FOUND;
  const EFI_STATUS status = VerifyFitChecksum(fit);
  if (EfiError(status)) return status;
  *header = fit;
  return EFI_SUCCESS;
}

EFI_STATUS FindNextManifestEntry(PhysAddr* entry) {
  if (entry == nullptr) return EFI_INVALID_PARAMETER;
  PhysAddr header;
  const EFI_STATUS status = LocateFitHeader(&header);
  if (EfiError(status)) return status;
  const uint32_t count = EntryCount(header);

  uint32_t start = 0;
  if (*entry != NULL_PHYS) {
    // Only the exact address of one of the table's entries continues a search.
    const uint32_t offset = Raw(*entry) - Raw(header);
    if (Raw(*entry) < Raw(header) || offset % FIT_ENTRY_SIZE != 0 || offset / FIT_ENTRY_SIZE >= count)
      return EFI_NOT_FOUND;
    start = offset / FIT_ENTRY_SIZE + 1;
  }
  for (uint32_t i = start; i < count; ++i) {
    const PhysAddr candidate = header + i * FIT_ENTRY_SIZE;
    if ((TypeAndFlags(candidate) & FIT_TYPE_MASK) == FIT_TYPE_BOOT_POLICY_MANIFEST) {
      *entry = candidate;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS FindManifestEntry(PhysAddr* entry) {
  if (entry == nullptr) return EFI_INVALID_PARAMETER;
  PhysAddr found = NULL_PHYS;
  const EFI_STATUS status = FindNextManifestEntry(&found);
  if (EfiError(status)) return status;
  *entry = found;
  return EFI_SUCCESS;
}

EFI_STATUS LocateBootPolicyManifest(PhysAddr* manifest) {
  if (manifest == nullptr) return EFI_INVALID_PARAMETER;
  PhysAddr entry = NULL_PHYS;
  const EFI_STATUS status = FindManifestEntry(&entry);
  if (EfiError(status)) return status;
  const PhysAddr candidate = Phys(hw::Read32(entry));  // low 32 bits of Address
  if (!FitsBelow4G(candidate, MANIFEST_READ_SIZE) || !SignatureAt(candidate, MANIFEST_SIGNATURE))
    return EFI_NOT_FOUND;
  *manifest = candidate;
  return EFI_SUCCESS;
}
