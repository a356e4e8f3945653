// Runs a scenario on the host build of the module: ModuleEntry, then the
// End-of-PEI signal, on a fresh virtual platform.
#pragma once

#include "runners/scenario.h"

namespace runners {

Outcome RunNative(const Scenario& scenario);

}  // namespace runners
