#include "vplat/devices/pit8254.h"

#include "vplat/scenario.h"

namespace vplat {

void InstallPit(Platform& platform, const Scenario& scenario) { platform.SetTscHz(scenario.tscHz); }

std::vector<uint8_t> PresetTscHobData() { return {0x00, 0x10, 0x5E, 0x5F, 0x00, 0x00, 0x00, 0x00}; }

}  // namespace vplat
