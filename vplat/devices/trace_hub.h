// The trace hub as the platform presents it: its PCI configuration function
// (bus 0, device 31, function 2), the register block that function's
// register 0x48 points to with the disable register in it, and the aperture
// of channel windows that messages are written into.
//
// Three register files, each mapped at its own base:
//
//   0xE00FA000  4 KiB    configuration function: ECAM base 0xE0000000 +
//                        (bus 0 << 20 | device 31 << 15 | function 2 << 12)
//   0xFE000000  64 KiB   register block; +0x5D0 the disable register
//   0xFE200000  1.75 MiB aperture: masters 32..255, 128 channels of 64 bytes
//
// All three are mapped in every mode, so that any access to them lands in the
// access log; a part that is not there answers like an open bus (all ones)
// and ignores writes. The flash ends at 4 GiB (8 MiB by default, from
// 0xFF800000), RAM is the low 16 MiB; none of these ranges meets either.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vplat/device.h"
#include "vplat/platform.h"

namespace vplat {

// What the platform's trace hub looks like to the module; see AddTraceHub.
enum class TraceHubMode { Present, Disabled, ApertureDead, Absent };

inline constexpr uint32_t TRACE_HUB_CONFIG_BASE = 0xE00FA000u;
inline constexpr uint32_t TRACE_HUB_CONFIG_SIZE = 0x1000;
inline constexpr uint32_t TRACE_HUB_VENDOR_ID_REGISTER = 0x00;  // 16 bits
inline constexpr uint32_t TRACE_HUB_DEVICE_ID_REGISTER = 0x02;  // 16 bits
inline constexpr uint32_t TRACE_HUB_BASE_REGISTER = 0x48;       // bits 31:16: register block base
inline constexpr uint16_t TRACE_HUB_VENDOR_ID = 0x8086;
inline constexpr uint16_t TRACE_HUB_DEVICE_ID = 0xA121;
// Register 0x48's low half carries flags unrelated to the base (here the
// decode-enable bit 1), so a reader that forgets to clear bits 15:0 misses
// the disable register.
inline constexpr uint32_t TRACE_HUB_BASE_REGISTER_FLAGS = 0x0002;

inline constexpr uint32_t TRACE_HUB_BLOCK_BASE = 0xFE000000u;  // 64 KiB aligned
inline constexpr uint32_t TRACE_HUB_BLOCK_SIZE = 0x10000;
inline constexpr uint32_t TRACE_HUB_DISABLE_REGISTER = 0x5D0;
inline constexpr uint32_t TRACE_HUB_DISABLE_BIT = 0x1;

inline constexpr uint32_t TRACE_HUB_APERTURE_BASE = 0xFE200000u;
inline constexpr uint32_t TRACE_HUB_FIRST_MASTER = 32;
inline constexpr uint32_t TRACE_HUB_LAST_MASTER = 255;
inline constexpr uint32_t TRACE_HUB_MASTER_WINDOW = 0x2000;
inline constexpr uint32_t TRACE_HUB_CHANNELS_PER_MASTER = 128;
inline constexpr uint32_t TRACE_HUB_CHANNEL_WINDOW = 0x40;
inline constexpr uint32_t TRACE_HUB_APERTURE_SIZE =
    (TRACE_HUB_LAST_MASTER - TRACE_HUB_FIRST_MASTER + 1) * TRACE_HUB_MASTER_WINDOW;  // 0x1C0000
static_assert(TRACE_HUB_CHANNELS_PER_MASTER * TRACE_HUB_CHANNEL_WINDOW == TRACE_HUB_MASTER_WINDOW);
static_assert(TRACE_HUB_BLOCK_BASE + TRACE_HUB_BLOCK_SIZE <= TRACE_HUB_APERTURE_BASE);
static_assert(TRACE_HUB_APERTURE_BASE + TRACE_HUB_APERTURE_SIZE - 1 <= 0xFE3FFFFFu);

// Registers of a channel window.
inline constexpr uint32_t TRACE_HUB_CHANNEL_DATA = 0x00;       // 8, 16, 32 bits
inline constexpr uint32_t TRACE_HUB_CHANNEL_START = 0x10;      // 32 bits: header
inline constexpr uint32_t TRACE_HUB_CHANNEL_START_ALT = 0x18;  // 32 bits
inline constexpr uint32_t TRACE_HUB_CHANNEL_END = 0x30;        // 32 bits

// The window of `channel` of `master` (32..255, 0..127).
constexpr uint32_t TraceChannelWindow(uint32_t master, uint32_t channel) {
  return TRACE_HUB_APERTURE_BASE + (master - TRACE_HUB_FIRST_MASTER) * TRACE_HUB_MASTER_WINDOW +
         channel * TRACE_HUB_CHANNEL_WINDOW;
}

// Which channel register a physical address is, if it is in the aperture.
struct ChannelRegister {
  uint32_t master;
  uint32_t channel;
  uint32_t offset;  // within the 64-byte window
};
std::optional<ChannelRegister> LocateChannelRegister(uint32_t address);

class TraceHub {
 public:
  explicit TraceHub(TraceHubMode mode);

  // What the presence gate reads from now on; the aperture's writes are
  // recorded by the memory map either way. Lets a test make the hardware
  // vanish after the module's probe.
  void SetMode(TraceHubMode mode);
  TraceHubMode Mode() const { return mode_; }

  MmioDevice& Config() { return config_; }
  MmioDevice& Block() { return block_; }
  MmioDevice& Aperture() { return aperture_; }

 private:
  // Plain storage with the register file's reset values; reads of any width
  // at any offset, little-endian. `present` false: reads all ones, writes
  // are ignored.
  class RegisterFile : public MmioDevice {
   public:
    explicit RegisterFile(uint32_t size) : bytes_(size, 0) {}
    uint32_t Read(uint32_t offset, uint8_t width) override;
    void Write(uint32_t offset, uint8_t width, uint32_t value) override;
    // The stored value, whatever `present` says.
    uint32_t Get(uint32_t offset, uint8_t width) const;
    void Set(uint32_t offset, uint8_t width, uint32_t value);
    bool present = true;

   private:
    std::vector<uint8_t> bytes_;
  };

  // Channel registers are write-only: a live aperture reads 0, a dead one
  // all ones. Writes have no effect beyond the access log.
  class ApertureFile : public MmioDevice {
   public:
    uint32_t Read(uint32_t offset, uint8_t width) override;
    void Write(uint32_t, uint8_t, uint32_t) override {}
    bool alive = true;
  };

  TraceHubMode mode_;
  RegisterFile config_{TRACE_HUB_CONFIG_SIZE};
  RegisterFile block_{TRACE_HUB_BLOCK_SIZE};
  ApertureFile aperture_;
};

// Maps a trace hub in the given mode and returns it:
//   Present       vendor 0x8086, disable bit clear, aperture answers.
//   Disabled      bit 0 of the disable register set.
//   ApertureDead  the aperture reads all ones (its first word 0xFFFFFFFF).
//   Absent        the configuration function reads all ones (vendor ID
//                 0xFFFF), as a missing PCI function does; so do the block
//                 and the aperture.
TraceHub& AddTraceHub(Platform& platform, TraceHubMode mode);

}  // namespace vplat
