// Where the tool finds the veriflash.efi it ships. In a build tree the build
// copies it beside the executable; an installed tool finds it in its prefix's
// data folder, at the same path relative to the executable wherever the prefix
// was installed (<prefix>/bin/../share/veriflash/veriflash.efi by default).
#pragma once

#include <optional>
#include <string>

namespace veriflash {

struct ShippedModulePlaces {
  std::string besideTool;  // <exe dir>/veriflash.efi
  std::string installed;   // <exe dir>/<bindir to datadir>/veriflash/veriflash.efi, lexically normal
};

// Both places for the running executable, in the order they are tried; a
// ToolError when the executable cannot be located.
[[nodiscard]] ShippedModulePlaces ShippedModuleCandidates();

// The first of those places that holds a file, or nullopt.
[[nodiscard]] std::optional<std::string> FindShippedModulePath();

}  // namespace veriflash
