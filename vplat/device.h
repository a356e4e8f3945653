// Device models are register files: each sees offsets relative to its own
// base and implements only the registers that have side effects.
#pragma once

#include <cstdint>

namespace vplat {

class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint32_t Read(uint32_t offset, uint8_t width) = 0;
  virtual void Write(uint32_t offset, uint8_t width, uint32_t value) = 0;
};

class PortDevice {
 public:
  virtual ~PortDevice() = default;
  // `port` is the port number itself; a 16-bit access arrives as one call.
  virtual uint32_t In(uint16_t port, uint8_t width) = 0;
  virtual void Out(uint16_t port, uint8_t width, uint32_t value) = 0;
};

}  // namespace vplat
