#include "vplat/devices/post_code.h"

namespace vplat {

uint32_t PostCodePort::In(uint16_t port, uint8_t width) {
  const unsigned index = port - POST_CODE_PORT_LOW;
  if (width == 1) return latched_[index];
  return latched_[0] | (index == 0 ? latched_[1] << 8 : 0xFF00u);
}

void PostCodePort::Out(uint16_t port, uint8_t width, uint32_t value) {
  for (unsigned i = 0; i < width; ++i) {
    const unsigned target = port - POST_CODE_PORT_LOW + i;
    if (target > 1) break;
    latched_[target] = static_cast<uint8_t>(value >> (8 * i));
    if (target == 0) platform_.RecordPostCode(latched_[0]);
  }
}

void InstallPostCodePort(Platform& platform) {
  auto& post = platform.AddDevice<PostCodePort>(platform);
  platform.MapPort(POST_CODE_PORT_LOW, &post);
  platform.MapPort(POST_CODE_PORT_HIGH, &post);
}

}  // namespace vplat
