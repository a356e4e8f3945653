// Counter 2 of the 8254 interval timer, port B that gates it and shows its
// output, and the TSC rate: enough of them for the TSC calibration.
#pragma once

#include <cstdint>
#include <optional>

#include "vplat/device.h"
#include "vplat/platform.h"

namespace vplat {

inline constexpr uint16_t PIT_COUNTER2_DATA_PORT = 0x42;
inline constexpr uint16_t PIT_CONTROL_WORD_PORT = 0x43;
inline constexpr uint16_t PORT_B = 0x61;

// Counter 2 runs on the platform's PIT clock, one clock per port access. Mode 0
// counts down from the loaded count while the gate (port B bit 0) is on and
// raises its output N + 1 clocks after the count of N was written; the other
// modes hold their output high and do not count. Port B keeps bits 0 and 1 and
// shows the output at bit 5. Not modelled, as nothing here uses them: counters
// 0 and 1, BCD counting, and reading the count (an unlatched read of 0x42
// returns 0xFF).
class Pit8254 : public PortDevice {
 public:
  // `counter2Status` is the status byte counter 2 reports before anything is
  // written to it: output (bit 7), null count (bit 6), then access mode, mode
  // and BCD as in its control word. A stuck counter never raises its output.
  Pit8254(const Platform& platform, uint8_t counter2Status, bool outputStuck);

  uint32_t In(uint16_t port, uint8_t width) override;
  void Out(uint16_t port, uint8_t width, uint32_t value) override;

 private:
  void Advance();  // brings counter 2 up to the platform's time
  void WriteControl(uint8_t value);
  void WriteCount(uint8_t value);
  void Load(uint32_t count);
  void SetOutput(bool high) { output_ = high && !stuck_; }
  uint8_t Mode() const;
  uint8_t Status() const;

  const Platform& platform_;
  const bool stuck_;
  uint64_t lastClock_;
  uint8_t control_;  // access mode, mode and BCD: the low six status bits
  bool output_ = false;
  bool nullCount_;
  std::optional<uint8_t> latchedStatus_;
  bool highByteNext_ = false;  // low byte then high byte: the low byte is in
  uint8_t lowByte_ = 0;
  bool loadPending_ = false;  // loaded into the counter on the next clock
  bool counting_ = false;     // mode 0, before terminal count
  uint32_t remaining_ = 0;    // clocks until terminal count
  uint8_t portB_ = 0;         // bits 0 and 1
};

// Counter 2 and port B on ports 0x42, 0x43 and 0x61; see Pit8254 for the
// status byte and the stuck output.
void InstallPit(Platform& platform, uint8_t counter2Status, bool outputStuck);

}  // namespace vplat
