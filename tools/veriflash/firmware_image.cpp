#include "tools/veriflash/firmware_image.h"

#include <algorithm>

#include "vplat/flash_image.h"

namespace veriflash {

void PutFirmwareOnTop(std::vector<uint8_t>& image, const FirmwareParts& parts, uint32_t fitAddress) {
  const size_t varsAt = image.size() - parts.Size();
  std::copy(parts.vars.begin(), parts.vars.end(), image.begin() + static_cast<ptrdiff_t>(varsAt));
  std::copy(parts.code.begin(), parts.code.end(), image.begin() + static_cast<ptrdiff_t>(varsAt + parts.vars.size()));
  vplat::Store32(image, vplat::FIT_POINTER, fitAddress);
}

}  // namespace veriflash
