// The trace hub as the platform presents it: its PCI configuration function,
// the disable register, the aperture and the channel windows.
#pragma once

#include "vplat/platform.h"

namespace vplat {

enum class TraceHubMode;

void InstallTraceHub(Platform& platform, TraceHubMode mode);

}  // namespace vplat
