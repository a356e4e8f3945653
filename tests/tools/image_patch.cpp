#include "image_patch.h"

#include "vplat/flash_image.h"

namespace tools_test {

ToolResult CreateImage(const std::string& path, const std::string& options, ImagePatch patch) {
  ToolResult created = Veriflash("image create --force " + path + " " + options);
  if (created.status == 0 && patch) {
    auto bytes = ReadBytes(path);
    patch(bytes);
    WriteBytes(path, bytes);
  }
  return created;
}

void PointFitAt(std::vector<uint8_t>& image, uint32_t address) { vplat::Store32(image, vplat::FIT_POINTER, address); }

void SetManifestEntry(std::vector<uint8_t>& image, uint64_t address) {
  const uint32_t entry = vplat::DEFAULT_FIT_ADDRESS + 4 * 16;
  vplat::Store32(image, entry, static_cast<uint32_t>(address));
  vplat::Store32(image, entry + 4, static_cast<uint32_t>(address >> 32));
  vplat::FixFitChecksum(image, vplat::DEFAULT_FIT_ADDRESS);
}

void MoveManifestTo(std::vector<uint8_t>& image, uint32_t address) {
  vplat::Store(image, address, "__ACBP__", 8);
  SetManifestEntry(image, address);
}

void KeepTop(std::vector<uint8_t>& image, size_t size) {
  image.erase(image.begin(), image.end() - static_cast<ptrdiff_t>(size));
}

}  // namespace tools_test
