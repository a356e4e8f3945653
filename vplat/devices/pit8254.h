// Counter 2 of the 8254 interval timer, port B, and the TSC rate.
#pragma once

#include <cstdint>
#include <vector>

#include "module/core/efi_types.h"
#include "vplat/platform.h"

namespace vplat {

struct Scenario;

// dba6a7e3-bb57-4be7-8af8-d578db7e5687
inline constexpr EFI_GUID TSC_FREQUENCY_HOB_GUID = {
    0xdba6a7e3, 0xbb57, 0x4be7, {0x8a, 0xf8, 0xd5, 0x78, 0xdb, 0x7e, 0x56, 0x87}};

void InstallPit(Platform& platform, const Scenario& scenario);

// The data of a TSC frequency HOB that a scenario places before the module runs.
std::vector<uint8_t> PresetTscHobData();

}  // namespace vplat
