// The module binary: the veriflash.efi the tool ships (or a file the user
// names), checked as a PE32 image that can run in place, and modules
// already placed in a flash image.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/pe_image.h"

namespace veriflash {

struct ModuleFile {
  std::string path;
  std::vector<uint8_t> bytes;
  firmware::PeInfo info;
};

// The one acceptance of a module file that every command applies (package,
// firmware add, image create, run): a PE32 image that runs in place and fits
// between the checked region and the FIT pointer, where the tool places it.
// Throws PeError naming the first thing wrong.
firmware::PeInfo AcceptModule(std::span<const uint8_t> efi);

// Reads a module file and applies AcceptModule; a ToolError names the file and what is wrong with it.
ModuleFile LoadModule(const std::string& path);

// The module at `given`, or with an empty `given` the shipped veriflash.efi
// (shipped_module_path.h); when that is missing, the error suggests `instead` (another option).
ModuleFile LoadGivenOrDefaultModule(const std::string& given, const std::string& instead);

// The shipped veriflash.efi, or nullopt when there is none; a ToolError when it is there but unusable.
std::optional<ModuleFile> FindShippedModule();

// The first module placed in the image outside the checked region: a valid
// PE32 image at a 32-byte boundary.
std::optional<firmware::PlacedModule> FindPlacedModule(const std::vector<uint8_t>& image);

}  // namespace veriflash
