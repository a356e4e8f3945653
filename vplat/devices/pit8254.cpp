#include "vplat/devices/pit8254.h"

namespace vplat {
namespace {

constexpr uint8_t SELECT_MASK = 0xC0;
constexpr uint8_t SELECT_COUNTER2 = 0x80;
constexpr uint8_t READ_BACK = 0xC0;
constexpr uint8_t READ_BACK_NO_STATUS = 0x10;  // bit 4 clear latches the status
constexpr uint8_t READ_BACK_COUNTER2 = 0x08;
constexpr uint8_t ACCESS_MASK = 0x30;
constexpr uint8_t ACCESS_LATCH = 0x00;
constexpr uint8_t ACCESS_LOW = 0x10;
constexpr uint8_t ACCESS_HIGH = 0x20;
constexpr uint8_t MODE_BITS = 0x3F;
constexpr uint8_t STATUS_OUTPUT = 0x80;
constexpr uint8_t STATUS_NULL_COUNT = 0x40;

constexpr uint8_t PORT_B_WRITABLE = 0x03;
constexpr uint8_t PORT_B_GATE = 0x01;
constexpr uint8_t PORT_B_OUTPUT = 0x20;

constexpr uint8_t FLOATING = 0xFF;

}  // namespace

Pit8254::Pit8254(const Platform& platform, uint8_t counter2Status, bool outputStuck)
    : platform_(platform),
      stuck_(outputStuck),
      lastClock_(platform.PitClocks()),
      control_(counter2Status & MODE_BITS),
      nullCount_((counter2Status & STATUS_NULL_COUNT) != 0) {
  SetOutput((counter2Status & STATUS_OUTPUT) != 0);
}

uint8_t Pit8254::Mode() const {
  const uint8_t mode = (control_ >> 1) & 7;
  return mode >= 6 ? mode - 4 : mode;  // 6 and 7 are modes 2 and 3
}

uint8_t Pit8254::Status() const {
  return static_cast<uint8_t>((output_ ? STATUS_OUTPUT : 0) | (nullCount_ ? STATUS_NULL_COUNT : 0) | control_);
}

void Pit8254::Advance() {
  const uint64_t now = platform_.PitClocks();
  uint64_t clocks = now - lastClock_;
  lastClock_ = now;
  if (clocks == 0) return;
  if (loadPending_) {
    // The clock that moves the count into the counter does not decrement it.
    loadPending_ = false;
    nullCount_ = false;
    --clocks;
  }
  if (!counting_ || (portB_ & PORT_B_GATE) == 0) return;
  if (clocks < remaining_) {
    remaining_ -= clocks;
    return;
  }
  // Terminal count: the output stays high until the counter is written again.
  counting_ = false;
  SetOutput(true);
}

void Pit8254::WriteControl(uint8_t value) {
  if ((value & SELECT_MASK) == READ_BACK) {
    // Only the first status latch counts until the status is read.
    if ((value & READ_BACK_COUNTER2) != 0 && (value & READ_BACK_NO_STATUS) == 0 && !latchedStatus_)
      latchedStatus_ = Status();
    return;
  }
  if ((value & SELECT_MASK) != SELECT_COUNTER2 || (value & ACCESS_MASK) == ACCESS_LATCH) return;
  control_ = value & MODE_BITS;
  nullCount_ = true;
  highByteNext_ = false;
  loadPending_ = false;
  counting_ = false;
  SetOutput(Mode() != 0);  // mode 0 drives the output low, every other mode high
}

void Pit8254::WriteCount(uint8_t value) {
  switch (control_ & ACCESS_MASK) {
    case ACCESS_LOW: Load(value); break;
    case ACCESS_HIGH: Load(uint32_t{value} << 8); break;
    default:
      if (!highByteNext_) {
        lowByte_ = value;
        highByteNext_ = true;
        counting_ = false;  // writing the low byte stops a mode 0 count
      } else {
        highByteNext_ = false;
        Load(lowByte_ | uint32_t{value} << 8);
      }
  }
}

void Pit8254::Load(uint32_t count) {
  remaining_ = count == 0 ? 0x10000 : count;
  loadPending_ = true;
  nullCount_ = true;
  counting_ = Mode() == 0;
  if (counting_) SetOutput(false);
}

uint32_t Pit8254::In(uint16_t port, uint8_t) {
  Advance();
  switch (port) {
    case PIT_COUNTER2_DATA_PORT:
      if (latchedStatus_) {
        const uint8_t status = *latchedStatus_;
        latchedStatus_.reset();
        return status;
      }
      return FLOATING;
    case PORT_B: return portB_ | (output_ ? PORT_B_OUTPUT : 0);
  }
  return FLOATING;  // the control word register cannot be read
}

void Pit8254::Out(uint16_t port, uint8_t, uint32_t value) {
  // Clocks up to this access ran with the gate as it was.
  Advance();
  const auto byte = static_cast<uint8_t>(value);
  switch (port) {
    case PIT_COUNTER2_DATA_PORT: WriteCount(byte); break;
    case PIT_CONTROL_WORD_PORT: WriteControl(byte); break;
    case PORT_B: portB_ = byte & PORT_B_WRITABLE; break;
  }
}

void InstallPit(Platform& platform, uint8_t counter2Status, bool outputStuck) {
  auto& pit = platform.AddDevice<Pit8254>(platform, counter2Status, outputStuck);
  for (uint16_t port : {PIT_COUNTER2_DATA_PORT, PIT_CONTROL_WORD_PORT, PORT_B}) platform.MapPort(port, &pit);
}

}  // namespace vplat
