// What a firmware's phases run on, read from its files: the machine of the
// DXE core (which QEMU can boot it), whether it brings an MM (SMM)
// environment (which the platform must then offer), and whether its PEI
// phase is IA-32 (where the module can run). Every firmware volume counts,
// also those nested in volume-image sections and LZMA-compressed sections.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "firmware/firmware_volume.h"

namespace firmware {

struct FirmwarePhases {
  std::optional<uint16_t> dxeCoreMachine;  // of the first DXE core file's image; nullopt: no DXE core
  uint32_t mmFiles = 0;                    // MM cores and MM drivers: the firmware needs SMM

  bool NeedsSmm() const { return mmFiles != 0; }
};

// Throws FirmwareError for a volume or compressed stream it cannot read, and
// for containers nested deeper than any firmware nests them.
[[nodiscard]] FirmwarePhases ReadFirmwarePhases(std::span<const uint8_t> image);

// Throws FirmwareError, naming the file, when the PEI core or a PEIM of
// `peiVolume` is an image for another machine than IA-32.
void RequireIa32PeiPhase(const FirmwareVolume& peiVolume);

}  // namespace firmware
