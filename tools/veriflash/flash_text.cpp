#include "tools/veriflash/flash_text.h"

#include <fmt/core.h>

#include "module/print/print.h"
#include "vplat/devices/trace_decoder.h"

namespace veriflash {

std::string Where(const firmware::FlashLayout& layout, uint32_t address) {
  if (!layout.Maps(address)) return Hex(address, 8) + " (outside the mapped flash)";
  if (!layout.descriptor) return fmt::format("{} (offset {})", Hex(address, 8), Hex(layout.FileOffset(address)));
  return fmt::format("{} (BIOS offset {}, file offset {})", Hex(address, 8), Hex(layout.BiosOffset(address)),
                     Hex(layout.FileOffset(address)));
}

nlohmann::json WhereJson(const firmware::FlashLayout& layout, uint32_t address) {
  nlohmann::json where = {{"address", Hex(address, 8)}, {"offset", nullptr}, {"biosOffset", nullptr}};
  if (layout.Maps(address)) {
    where["offset"] = Hex(layout.FileOffset(address));
    where["biosOffset"] = Hex(layout.BiosOffset(address));
  }
  return where;
}

int OffsetDigits(const firmware::FlashLayout& layout) { return layout.fileSize > (16u << 20) ? 7 : 6; }

std::string OffsetRange(const firmware::FlashLayout& layout, uint32_t first, uint32_t last) {
  const int digits = OffsetDigits(layout);
  const auto range = [&](uint32_t a, uint32_t b) {
    if (first == last) return fmt::format("{:<{}}", Hex(a, digits), 2 * (digits + 2) + 1);
    return Hex(a, digits) + "-" + Hex(b, digits);
  };
  if (!layout.descriptor) return "offset " + range(layout.FileOffset(first), layout.FileOffset(last));
  return fmt::format("BIOS {}  file {}", range(layout.BiosOffset(first), layout.BiosOffset(last)),
                     range(layout.FileOffset(first), layout.FileOffset(last)));
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
