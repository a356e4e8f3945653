#include <fmt/core.h>

#include "tools/veriflash/flash_analysis.h"

namespace veriflash {

// The component types of the Firmware Interface Table, by the names firmware
// vendors' FIT documentation gives them.
std::string FitTypeName(uint8_t type) {
  switch (type) {
    case 0x00: return "FIT Header";
    case 0x01: return "Microcode Update";
    case 0x02: return "Startup ACM";
    case 0x03: return "Diagnostic ACM";
    case 0x07: return "BIOS Startup Module";
    case 0x08: return "TPM Policy Record";
    case 0x09: return "BIOS Policy Record";
    case 0x0A: return "TXT Policy Record";
    case 0x0B: return "Key Manifest";
    case 0x0C: return "Boot Policy Manifest";
    case 0x10: return "CSE Secure Boot";
    case 0x2D: return "TXTSX Policy Record";
    case 0x2F: return "JMP $ Debug Policy";
    case 0x7F: return "Unused Entry (skip)";
    default: return fmt::format("type 0x{:02X}", type);
  }
}

}  // namespace veriflash
