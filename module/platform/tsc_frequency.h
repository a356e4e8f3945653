// The TSC frequency HOB: the time-stamp counter's rate, measured against
// counter 2 of the 8254 interval timer and published once for later firmware
// phases.
#pragma once

#include "module/types/efi_types.h"

inline constexpr uint16_t PIT_CONTROL_PORT = 0x43;       // control word, write only
inline constexpr uint16_t PIT_COUNTER2_PORT = 0x42;      // counter 2 data
inline constexpr uint16_t SYSTEM_CONTROL_PORT_B = 0x61;  // bit 0 gate, bit 1 speaker, bit 5 counter 2 output
// 1193 PIT input clocks at 1.193182 MHz, taken as exactly one millisecond.
inline constexpr uint16_t TSC_CALIBRATION_PIT_COUNT = 0x04A9;
// The count a square-wave counter 2 gets back after the measurement: 1280
// clocks, a tone of about 932 Hz (1.193182 MHz / 1280). Counter 2's count is
// never read, so the one it had cannot be restored; a square-wave counter gets
// this usual beep count instead.
inline constexpr uint16_t PIT_CH2_RESTORE_COUNT = 0x0500;
// Reads of port B while waiting for counter 2's output: about a second at an
// ISA read's microsecond, a thousand times the millisecond the count takes.
inline constexpr uint32_t PIT_OUTPUT_POLL_LIMIT = 0x100000;

inline constexpr uint32_t TSC_FREQUENCY_HOB_DATA_SIZE = 8;  // UINT64, Hz, little-endian

// dba6a7e3-bb57-4be7-8af8-d578db7e5687
extern const EFI_GUID TscFrequencyGuid;

// Creates the TSC frequency HOB unless the list already holds one, which is
// then neither read nor changed. Reports nothing.
void PublishTscFrequency();

// TSC ticks per second: the ticks over 1193 PIT clocks, times 1000, with
// interrupts off meanwhile when they were on. 0 when counter 2's output never
// rose: no frequency rather than a wrong one. Port B, the interrupt flag and
// counter 2's mode are restored on either path; a square-wave counter 2 is
// reloaded with PIT_CH2_RESTORE_COUNT.
uint64_t MeasureTscFrequency();

// Creates the 32-byte TSC frequency HOB holding the 8 bytes at `value`; when
// CreateHob fails nothing is written.
void StoreTscFrequencyHob(const uint64_t* value);
