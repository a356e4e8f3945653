#include "tools/veriflash/firmware_image.h"

#include <fmt/core.h>

#include <algorithm>

#include "tools/veriflash/firmware_insert.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

FirmwareParts LoadFirmwareParts(const std::string& codePath, const std::string& varsPath,
                                const std::optional<std::string>& modulePath, const firmware::PeimFileOptions& peim,
                                bool preMemory) {
  FirmwareParts parts{codePath, LoadCodePart(codePath, "firmware code part"), {}, {}};
  parts.vars = LoadVariableStore(varsPath, parts.code.size());
  if (modulePath) {
    firmware::InsertResult result = InsertModule(codePath, parts.code, *modulePath, peim, preMemory);
    parts.code = std::move(result.image);
    parts.inserted = std::move(result.report);
  }
  return parts;
}

void PutFirmwareOnTop(std::vector<uint8_t>& image, const FirmwareParts& parts, uint32_t fitAddress,
                      uint32_t manifestAddress, vplat::ReferenceDigest digest) {
  if (parts.Size() >= image.size())
    throw ToolError(fmt::format("{}: the firmware ({} bytes with the variable store) leaves no room in a {} image",
                                parts.codePath, Hex(parts.Size()), SizeText(image.size())));
  const size_t varsAt = image.size() - parts.Size();
  std::copy(parts.vars.begin(), parts.vars.end(), image.begin() + static_cast<ptrdiff_t>(varsAt));
  std::copy(parts.code.begin(), parts.code.end(), image.begin() + static_cast<ptrdiff_t>(varsAt + parts.vars.size()));
  vplat::Store32(image, vplat::FIT_POINTER, fitAddress);
  // The region now covers firmware bytes: its digest goes in last, over the final image.
  common::Digest reference = vplat::RegionDigest(image);
  if (digest == vplat::ReferenceDigest::Wrong) reference[31] ^= 0x01;
  vplat::Store(image, manifestAddress + vplat::MANIFEST_DIGEST_AT, reference.data(), reference.size());
}

std::string FirmwareSummary(const firmware::FlashLayout& layout, const FirmwareParts& parts) {
  const uint32_t code = static_cast<uint32_t>(0x100000000ull - parts.code.size());
  std::string text = fmt::format(", variable store at {}, firmware {} at {}", Hex(code - parts.vars.size(), 8),
                                 parts.codePath, Where(layout, code));
  if (parts.inserted && parts.inserted->imageAddress)
    return text + fmt::format(" with the module in its PEI volume (image at {} when the volume runs at {})",
                              Hex(*parts.inserted->imageAddress, 8), Hex(parts.inserted->volumeBase, 8));
  return text + " as given, no module added";
}

}  // namespace veriflash
