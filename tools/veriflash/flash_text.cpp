#include "tools/veriflash/flash_text.h"

#include <fmt/core.h>

#include "module/print/print.h"
#include "vplat/flash_image.h"
#include "vplat/devices/trace_decoder.h"

namespace veriflash {

std::string Where(const std::vector<uint8_t>& image, uint32_t address) {
  if (!vplat::Contains(image, address, 1)) return Hex(address, 8) + " (outside the image)";
  return fmt::format("{} (offset {})", Hex(address, 8), Hex(vplat::OffsetOf(image, address)));
}

nlohmann::json WhereJson(const std::vector<uint8_t>& image, uint32_t address) {
  nlohmann::json where = {{"address", Hex(address, 8)}, {"offset", nullptr}};
  if (vplat::Contains(image, address, 1)) where["offset"] = Hex(vplat::OffsetOf(image, address));
  return where;
}

std::string StatusName(EFI_STATUS status) {
  const char* text = StatusText(status);
  return text ? text : Hex(status, 8);
}

std::string Quoted(const uint8_t* bytes, size_t length) {
  return vplat::QuoteText(std::string(reinterpret_cast<const char*>(bytes), length));
}

std::string SizeText(uint64_t bytes) {
  if (bytes != 0 && bytes % (1u << 20) == 0) return fmt::format("{} MiB", bytes >> 20);
  if (bytes != 0 && bytes % 1024 == 0) return fmt::format("{} KiB", bytes >> 10);
  return fmt::format("{} bytes", bytes);
}

}  // namespace veriflash
