// Port 0x80 POST code capture. A 16-bit write to 0x80 puts its low byte on
// 0x80 and its high byte on 0x81, as the bus splits it.
#pragma once

#include "vplat/device.h"
#include "vplat/platform.h"

namespace vplat {

inline constexpr uint16_t POST_CODE_PORT_LOW = 0x80;
inline constexpr uint16_t POST_CODE_PORT_HIGH = 0x81;

class PostCodePort : public PortDevice {
 public:
  explicit PostCodePort(Platform& platform) : platform_(platform) {}
  uint32_t In(uint16_t port, uint8_t width) override;
  void Out(uint16_t port, uint8_t width, uint32_t value) override;

 private:
  Platform& platform_;
  uint8_t latched_[2] = {0xFF, 0xFF};
};

// Ports 0x80 and 0x81, whose writes the platform keeps as its POST codes.
void InstallPostCodePort(Platform& platform);

}  // namespace vplat
