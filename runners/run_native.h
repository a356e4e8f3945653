// Runs a scenario on the host build of the module: ModuleEntry, then the
// End-of-PEI signal, on a fresh virtual platform.
#pragma once

#include "runners/scenario.h"

namespace runners {

Outcome RunNative(const Scenario& scenario);

// The same on `platform`, which Configure (or, after a restart, ArmRun) has
// set up for `scenario`: a caller that runs many scenarios on one image keeps
// one platform and its memory. The image that runs is the one the platform
// maps, whatever the host has changed in it since.
Outcome RunNativeOn(vplat::Platform& platform, const Scenario& scenario);

}  // namespace runners
