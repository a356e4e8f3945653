// Runs a scenario on the host build of the module: ModuleEntry, then the
// End-of-PEI signal, on a fresh virtual platform.
#pragma once

#include "vplat/scenario.h"

namespace vplat {

Outcome RunNative(const Scenario& scenario);

}  // namespace vplat
