// What `run` says of an image whose mapped flash does not hold the whole
// checked region. The module would hash whatever the bus returns below the
// flash, so the check fails there on any board; the verdict comes from the
// analysis, and the module is not run over open bus.
#pragma once

#include <string>

#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"

namespace veriflash {

// Prints the report as text or JSON; returns EXIT_FAIL.
int ReportUnmappedRegion(const std::string& name, const PlatformOptions& platform, const Analysis& analysis,
                         const OutputOptions& output);

}  // namespace veriflash
