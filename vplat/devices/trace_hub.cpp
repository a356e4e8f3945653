#include "vplat/devices/trace_hub.h"

#include "vplat/scenario.h"

namespace vplat {

// Nothing mapped yet: the configuration window reads as open bus, which is
// what an absent configuration function looks like.
void InstallTraceHub(Platform&, TraceHubMode) {}

}  // namespace vplat
