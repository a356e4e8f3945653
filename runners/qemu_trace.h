// The port writes QEMU logs with `-trace memory_region_ops_write`: one line
// per write, e.g.
//   memory_region_ops_write cpu 0 mr 0x55d0... addr 0x80 value 0x8f size 1 name 'ioport80'
// A 16-bit OUT to port 0x80 shows as two byte writes, to 0x80 and 0x81.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace runners {

struct PortWrite {
  uint16_t port = 0;
  uint32_t value = 0;
  uint8_t size = 0;  // bytes
  friend bool operator==(const PortWrite&, const PortWrite&) = default;
};

// The write a trace line records when it is a processor's write to an I/O
// port (address below 0x10000); nullopt for anything else.
std::optional<PortWrite> ParsePortWrite(std::string_view line);

}  // namespace runners
