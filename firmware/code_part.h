// The two files a firmware build boots from: the code part (volumes of FFS
// files, one after the other, the last ending with the file that holds the
// reset vector) and the variable store (one volume of the variable-store
// file system). Checked before anything is added, so that a damaged or
// mismatched pair is refused with the volume, offset and field at fault
// instead of producing an image that does not boot.
#pragma once

#include <cstdint>
#include <span>

#include "firmware/pi_format.h"

namespace firmware {

// fff12b8d-7696-4c8b-a985-2747075b4f50: the file system of a variable store's volume.
inline constexpr PiGuid VARIABLE_STORE_FILE_SYSTEM_GUID = {
    {0x8D, 0x2B, 0xF1, 0xFF, 0x96, 0x76, 0x8B, 0x4C, 0xA9, 0x85, 0x27, 0x47, 0x07, 0x5B, 0x4F, 0x50}};

// Throws FirmwareError ("volume at 0x348000: header checksum 0x1234, expected
// 0x5678") unless `code` is a run of volumes from its first byte to its last,
// each with an intact header, FFS files that read back and erased free
// space, the last volume's last file reaching its end.
void CheckCodePart(std::span<const uint8_t> code);

// The size of the variable store that goes with a code part of `codeSize`
// bytes: together they fill a flash part of a power-of-two size.
uint64_t ExpectedStoreSize(uint64_t codeSize);

// Throws FirmwareError unless `vars` is one variable-store volume that fills
// it, with an intact header, of ExpectedStoreSize(codeSize) bytes.
void CheckVariableStore(std::span<const uint8_t> vars, uint64_t codeSize);

}  // namespace firmware
