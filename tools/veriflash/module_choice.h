// Which module the emulated engine runs on an image: the image's own module
// where it holds one (what the board would run), the shipped veriflash.efi
// placed where the image holds none, or the file --module names, placed over
// the image's module or where the shipped one would go. And whether that
// module is byte for byte the shipped build.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/platform_options.h"

namespace veriflash {

enum class ModuleSource { Image, Shipped, File };

struct ModuleChoice {
  ModuleSource source = ModuleSource::Image;
  std::string path;          // the file placed; empty for the image's own module
  std::vector<uint8_t> efi;  // its bytes
  uint32_t address = 0;
  uint32_t size = 0;  // SizeOfImage
  // Byte-identical to the shipped build rebased to `address`; nullopt when
  // there is no shipped build beside the tool to compare with.
  std::optional<bool> identicalToShipped;
};

// A ToolError when the module cannot be placed: no module anywhere, an
// unusable file, or a placement over the FIT pointer, the FIT or the manifest.
ModuleChoice ChooseModule(const PlatformOptions& options, const std::string& imageName,
                          const std::vector<uint8_t>& image, const Analysis& analysis);

// Whether the `size` bytes at `address` in the image are the shipped build
// rebased there; nullopt without a shipped build beside the tool.
std::optional<bool> IdenticalToShipped(const std::vector<uint8_t>& image, uint32_t address, uint32_t size);

// "the module in the image at 0xFFD40000 (offset 0x540000), the shipped build".
std::string DescribeModule(const std::vector<uint8_t>& image, const ModuleChoice& module);
nlohmann::json ModuleJson(const std::vector<uint8_t>& image, const ModuleChoice& module);
// "byte-identical to the shipped build", "differs from the shipped build", or
// "no shipped build beside the tool to compare with".
std::string ShippedComparison(std::optional<bool> identical);

}  // namespace veriflash
