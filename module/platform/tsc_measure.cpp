// The TSC measured against 8254 counter 2, gated through port B.
#include "module/hw/hw.h"
#include "module/platform/tsc_frequency.h"

namespace {

constexpr uint8_t PORT_B_COUNTER2_GATE = 0x01;
constexpr uint8_t PORT_B_SPEAKER_DATA = 0x02;
constexpr uint8_t PORT_B_COUNTER2_OUTPUT = 0x20;

// Read-back command (bits 7-6 = 11): count not latched (bit 5), status
// latched (bit 4 clear), counter 2 only (bit 3).
constexpr uint8_t PIT_READ_BACK_COUNTER2_STATUS = 0xE8;
// Counter 2 (10), low byte then high byte (11), mode 0 (000), binary.
constexpr uint8_t PIT_COUNTER2_MODE0 = 0xB0;
constexpr uint8_t PIT_SELECT_COUNTER2 = 0x80;
// The status bits that a control word repeats: access, mode, BCD.
constexpr uint8_t PIT_STATUS_MODE_BITS = 0x3F;
// Low byte then high byte, mode 3 (square wave), binary.
constexpr uint8_t PIT_STATUS_SQUARE_WAVE = 0x36;

constexpr uint32_t MILLISECONDS_PER_SECOND = 1000;

void WriteCounter2(uint16_t count) {
  hw::Out8(PIT_COUNTER2_PORT, static_cast<uint8_t>(count));
  hw::Out8(PIT_COUNTER2_PORT, static_cast<uint8_t>(count >> 8));
}

// True once counter 2's output reads high; false when it never does.
bool WaitForCounter2Output() {
  for (uint32_t polls = 0; polls < PIT_OUTPUT_POLL_LIMIT; ++polls)
    if ((hw::In8(SYSTEM_CONTROL_PORT_B) & PORT_B_COUNTER2_OUTPUT) != 0) return true;
  return false;
}

}  // namespace

uint64_t MeasureTscFrequency() {
  const bool interruptsWereEnabled = hw::InterruptsEnabled();
  if (interruptsWereEnabled) hw::DisableInterrupts();

  const uint8_t savedPortB = hw::In8(SYSTEM_CONTROL_PORT_B);
  hw::Out8(PIT_CONTROL_PORT, PIT_READ_BACK_COUNTER2_STATUS);
  const uint8_t savedStatus = hw::In8(PIT_COUNTER2_PORT);
  hw::Out8(SYSTEM_CONTROL_PORT_B,
           static_cast<uint8_t>((savedPortB & ~PORT_B_SPEAKER_DATA) | PORT_B_COUNTER2_GATE));
  hw::Out8(PIT_CONTROL_PORT, PIT_COUNTER2_MODE0);
  WriteCounter2(TSC_CALIBRATION_PIT_COUNT);
  hw::In8(SYSTEM_CONTROL_PORT_B);  // one read before the start; its value does not matter

  // No serialising instruction around RDTSC: the interval is long enough.
  const uint64_t start = hw::ReadTsc();
  const bool rose = WaitForCounter2Output();
  const uint64_t end = hw::ReadTsc();

  // Restored alike after a time-out.
  const uint8_t savedMode = savedStatus & PIT_STATUS_MODE_BITS;
  hw::Out8(PIT_CONTROL_PORT, static_cast<uint8_t>(savedMode | PIT_SELECT_COUNTER2));
  if (savedMode == PIT_STATUS_SQUARE_WAVE) WriteCounter2(PIT_CH2_RESTORE_COUNT);
  hw::Out8(SYSTEM_CONTROL_PORT_B, savedPortB);
  if (interruptsWereEnabled) hw::EnableInterrupts();

  // The count spans one millisecond; the product keeps all 64 bits.
  return rose ? (end - start) * MILLISECONDS_PER_SECOND : 0;
}
