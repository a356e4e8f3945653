// Images that boot in real firmware (image create --firmware CODE --vars
// VARS): the lower part as for any image (checked region, FIT, manifest),
// then the firmware's variable store, then its code part with the module in
// its PEI volume, ending at 4 GiB. The checked region then reaches into the
// variable store and the code part, so the digest is taken over the final
// image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/flash_layout.h"
#include "firmware/pei_insert.h"
#include "vplat/flash_image.h"

namespace veriflash {

// Where the FIT and the manifest go by default in such an image: below the
// checked region, in the lower part, clear of the firmware.
inline constexpr uint32_t FIRMWARE_IMAGE_MANIFEST_ADDRESS = 0xFFA60000u;
inline constexpr uint32_t FIRMWARE_IMAGE_FIT_ADDRESS = 0xFFA68000u;
// QEMU's PC machines map at most 8 MiB of pflash below 4 GiB ("combined size
// of system firmware exceeds 8388608 bytes"); the default size is that.
inline constexpr uint64_t FIRMWARE_IMAGE_MAX_SIZE = 8u << 20;

struct FirmwareParts {
  std::string codePath;
  std::vector<uint8_t> code;  // with the module added, unless none was asked for
  std::vector<uint8_t> vars;
  std::optional<firmware::InsertReport> inserted;

  uint64_t Size() const { return code.size() + vars.size(); }
};

// Reads the code part and the variable store and adds the module at
// `modulePath` (empty: veriflash.efi beside the tool; nullopt: none) to the
// code part's PEI volume. ToolErrors name the file at fault.
FirmwareParts LoadFirmwareParts(const std::string& codePath, const std::string& varsPath,
                                const std::optional<std::string>& modulePath, const firmware::PeimFileOptions& peim,
                                bool preMemory);

// Puts the variable store and the code part at the top of `image` and the
// FIT pointer back, which the code part's bytes cover (in OVMF a GUID table
// of the reset vector that nothing reads back); then stores the region's
// digest, taken now, in the manifest (wrong in its last byte when asked).
void PutFirmwareOnTop(std::vector<uint8_t>& image, const FirmwareParts& parts, uint32_t fitAddress,
                      uint32_t manifestAddress, vplat::ReferenceDigest digest);

// ", variable store at ..., firmware CODE at ... with the module in its PEI volume (...)".
std::string FirmwareSummary(const firmware::FlashLayout& layout, const FirmwareParts& parts);

}  // namespace veriflash
