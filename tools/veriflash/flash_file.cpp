#include "tools/veriflash/flash_file.h"

#include "tools/veriflash/image_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

FlashFile LoadFlashFile(const std::string& path) { return MapFlashFile(path, LoadImage(path)); }

FlashFile MapFlashFile(std::string name, std::vector<uint8_t> bytes) {
  FlashFile file{std::move(name), std::move(bytes), {}, {}};
  try {
    file.layout = firmware::LayoutOf(file.bytes);
  } catch (const firmware::FlashImageError& e) {
    throw ToolError(file.name + ": " + e.what());
  }
  const auto window = file.layout.Window(file.bytes);
  file.window.assign(window.begin(), window.end());
  return file;
}

}  // namespace veriflash
