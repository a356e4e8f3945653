// What a PEI volume says about how its PEIMs run: where the volume lies when
// they run (each PE32 PEIM was rebased to run in place there), and the list
// of its a-priori file, the PEIMs the PEI core dispatches first, before
// permanent memory.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "firmware/firmware_volume.h"

namespace firmware {

// The volume's first byte when its PEIMs run: a PE32 PEIM's ImageBase less
// the image's offset in the volume. Nullopt when no PEIM or PEI core holds a
// PE32 image that ReadPe accepts and that was rebased to run in place (an
// ImageBase below its offset was not); throws FirmwareError when two disagree.
std::optional<uint32_t> PeimVolumeBase(const FirmwareVolume& volume);

// The GUIDs the a-priori file lists, in order; empty without one. Throws
// FirmwareError when its data is no list of sections.
std::vector<PiGuid> AprioriList(const FirmwareVolume& volume);

}  // namespace firmware
