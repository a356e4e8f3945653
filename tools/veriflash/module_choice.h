// Which modules the emulated engine runs on an image: the image's own
// modules where it holds any (what the board would run), placed plainly in
// its flash or inside its firmware volumes, compressed or not; the shipped
// veriflash.efi placed where the image holds none; or the file --module
// names, placed over each of the image's modules or where the shipped one
// would go. And whether each is byte for byte the shipped build.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "firmware/pi_format.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/platform_options.h"

namespace veriflash {

enum class ModuleSource { Image, Shipped, File };

// Where a module inside a firmware volume lies; set by ImageModules from the
// firmware tree, read by the engine and the reports.
struct VolumePlace {
  std::vector<std::string> path;  // the containers down to its volume, outermost first
  std::optional<firmware::PiGuid> volume;  // the volume's name, from its extended header
  firmware::PiGuid file{};
  std::string uiName;
  uint32_t sectionOffset = 0;  // of its PE32 section in the file's data
  bool preMemory = false;      // listed a-priori: run in place before memory, else shadowed
  bool inPlaceKnown = false;   // the address follows from the volume's base, not only from ImageBase
};

struct ModuleChoice {
  ModuleSource source = ModuleSource::Image;
  std::string path;          // the file placed; empty for the image's own module
  std::vector<uint8_t> efi;  // its bytes
  uint32_t address = 0;
  uint32_t size = 0;  // SizeOfImage
  // Byte-identical to the shipped build rebased to `address`; nullopt when
  // there is no shipped build beside the tool to compare with.
  std::optional<bool> identicalToShipped;
  std::optional<VolumePlace> inVolume;  // for a module inside a firmware volume
};

// The modules `window` (the mapped flash) holds: the one placed plainly
// outside the checked region, then those inside its firmware volumes, each
// with `efi` holding its image as stored. A ToolError when a module file
// named as the module holds no usable PE32 image.
std::vector<ModuleChoice> ImageModules(const std::vector<uint8_t>& window);

// The modules to run, one per copy the image holds, else one. A ToolError
// when a module cannot be placed: no module anywhere, an unusable file, or a
// placement over the FIT pointer, the FIT or the manifest.
std::vector<ModuleChoice> ChooseModules(const PlatformOptions& options, const std::string& imageName,
                          const std::vector<uint8_t>& image, const Analysis& analysis);

// Whether the `size` bytes at `address` in the image are the shipped build
// rebased there; nullopt without a shipped build beside the tool.
std::optional<bool> IdenticalToShipped(const std::vector<uint8_t>& image, uint32_t address, uint32_t size);

// "the module in the image at 0xFFD40000 (offset 0x540000), byte-identical to the shipped build", or
// "the module in file aa639189-... (veriflash) of volume at 0x0 > ..., runs at 0x00843C80, pre-memory, ...".
std::string DescribeModule(const firmware::FlashLayout& layout, const ModuleChoice& module);
nlohmann::json ModuleJson(const firmware::FlashLayout& layout, const ModuleChoice& module);
// "file aa639189-... (veriflash) of volume at 0x0 > ... > volume section at 0x4, PE32 section at 0x80".
std::string VolumePlaceText(const VolumePlace& place);
nlohmann::json VolumePlaceJson(const VolumePlace& place);
// How the board runs the module: "in place" for one placed plainly; for one
// in a volume, pre-memory (in place) or shadowed (copied to memory).
std::string RunsWhere(const ModuleChoice& module);
// "byte-identical to the shipped build", "differs from the shipped build", or
// "no shipped build beside the tool to compare with".
std::string ShippedComparison(std::optional<bool> identical);

}  // namespace veriflash
