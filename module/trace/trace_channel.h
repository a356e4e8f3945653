// Trace hub channel access: the trace writer's only way to the
// hardware. Finds the 64-byte register window of one trace hub channel behind
// a presence gate, and fills a table of output hooks that write exact-width
// values into it, or do nothing when no trace hub is usable.
//
// Within the trace subsystem only: other subsystems call trace.h.
#pragma once

#include "module/types/efi_types.h"

// Aperture: one 8 KiB window per master from 32 up, 128 channel windows of
// 64 bytes in each. Masters below 32 have none.
inline constexpr uint32_t TRACE_APERTURE_BASE = 0xFE200000u;
inline constexpr uint32_t MIN_TRACE_MASTER = 32;
inline constexpr uint32_t MASTER_WINDOW_SIZE = 0x2000;
inline constexpr uint32_t CHANNEL_WINDOW_SIZE = 0x40;

// Registers of a channel window (write-only, never read).
inline constexpr uint32_t CHANNEL_DATA = 0x00;       // 8, 16 or 32 bits: payload
inline constexpr uint32_t CHANNEL_START = 0x10;      // 32 bits: a message's header
inline constexpr uint32_t CHANNEL_START_ALT = 0x18;  // 32 bits: not used by this module
inline constexpr uint32_t CHANNEL_END = 0x30;        // 32 bits: 0 ends a message

// Presence gate. PCI configuration space of bus 0, device 31, function 2
// through the memory-mapped configuration window at 0xE0000000:
// 0xE0000000 + (31 << 15 | 2 << 12) = 0xE00FA000.
inline constexpr uint32_t GATE_CONFIG_ADDRESS = 0xE00FA000u;  // 16-bit vendor ID
inline constexpr uint32_t GATE_BASE_REGISTER = 0x48;          // bits 31:16 register block base
inline constexpr uint32_t GATE_BASE_MASK = 0xFFFF0000u;       // the block is 64 KiB aligned
inline constexpr uint16_t GATE_VENDOR_ABSENT = 0xFFFF;        // no function answers
inline constexpr uint32_t TRACE_DISABLE_REGISTER = 0x5D0;     // in the register block
inline constexpr uint32_t TRACE_DISABLE_BIT = 0x1;
inline constexpr uint32_t APERTURE_DEAD = 0xFFFFFFFFu;        // first aperture word, nobody answers

// The probe asks for master 255, channel 255: the master always passes the
// master test, so only the presence gate decides.
inline constexpr uint16_t PROBE_MASTER = 255;
inline constexpr uint16_t PROBE_CHANNEL = 255;

// TraceOutputTable.stamp after initialisation: the layout's version mark, 1.4
// in the two middle bytes, for a debugger that finds the table in memory.
inline constexpr uint32_t TRACE_OUTPUT_STAMP = 0x00010400u;

struct TraceHandle;
struct TraceMessageData;
struct ScatterEntry;

// The identity of one channel. Only the low 16 bits of each word count.
struct TraceChannelId {
  uint32_t master;
  uint32_t channel;
};
static_assert(sizeof(TraceChannelId) == 8);

using TraceBindHook = void (*)(TraceHandle* handle, const TraceChannelId* id);
using TraceAuxHook = void (*)(TraceHandle* handle);
using TraceWriteMessageHook = void (*)(TraceHandle* handle, const ScatterEntry* program,
                                       TraceMessageData* data);
using TraceWrite32Hook = void (*)(TraceHandle* handle, uint32_t value);
using TraceWrite16Hook = void (*)(TraceHandle* handle, uint16_t value);
using TraceWrite8Hook = void (*)(TraceHandle* handle, uint8_t value);
using TraceEndHook = void (*)(TraceHandle* handle);

// The hooks and the writer that serve a set of handles. Every slot is a plain
// function pointer (32 bits on the target, so 48 bytes in all there). The
// layout is fixed and its offsets asserted, so fields that no operation here
// reads (stamp, markerWord, hookParam) keep their places for whoever reads
// the table in memory.
struct TraceOutputTable {
  uint32_t stamp;       // TRACE_OUTPUT_STAMP once initialised; never read
  uint32_t markerWord;  // 0xFFFFFFFF once initialised; never read
  TraceBindHook bindHook;
  TraceAuxHook auxHook;  // never called
  TraceWriteMessageHook writeMessage;
  TraceWrite32Hook writeStart;
  TraceWrite32Hook writeStartAlt;  // installed, never called
  TraceWrite8Hook writeData8;
  TraceWrite16Hook writeData16;
  TraceWrite32Hook writeData32;
  TraceEndHook writeEnd;
  uint32_t hookParam;  // InstallChannelHooks' parameter; never read
};
static_assert(offsetof(TraceOutputTable, markerWord) == 4);
static_assert(offsetof(TraceOutputTable, bindHook) == 8);
static_assert(offsetof(TraceOutputTable, writeEnd) - offsetof(TraceOutputTable, bindHook) ==
              8 * sizeof(void*));
static_assert(offsetof(TraceOutputTable, hookParam) == offsetof(TraceOutputTable, writeEnd) + sizeof(void*));

// One sender's state, in the fixed layout the offsets below assert; fields
// that no operation here reads (platformWord) keep their places in it. Fields
// of the format that no operation of this module touches are left out.
struct TraceHandle {
  TraceOutputTable* output;
  uint32_t flags;  // bit 0: initialised
  uint32_t tag;    // header template: supplies bits 7 to 23 of every header
  EFI_GUID originGuid;
  uint32_t sequence;  // message counter
  const TraceChannelId* channelIdRecord;
  uint32_t platformWord;  // cleared by the fallback start hooks, never read
  uint32_t master;        // copied from the bound TraceChannelId
  uint32_t channel;
};
static_assert(offsetof(TraceHandle, flags) == sizeof(void*));
static_assert(offsetof(TraceHandle, originGuid) == offsetof(TraceHandle, tag) + 4);
static_assert(offsetof(TraceHandle, sequence) == offsetof(TraceHandle, originGuid) + 16);
static_assert(offsetof(TraceHandle, channel) == offsetof(TraceHandle, master) + 4);

// The window of `channel` of `master`, or NULL_PHYS for none. Every call reads
// the presence gate first, in this order: the vendor ID; unless it is
// GATE_VENDOR_ABSENT (then 0 at once: no block base is defined), the base
// register and the disable register; then the first aperture word. A master
// below 32 gets 0 after the same reads. The channel number is not bounded:
// channel 128 of master m is channel 0 of master m + 1. The sum wraps modulo
// 2^32; a window that wraps to exactly 0 is indistinguishable from none.
PhysAddr GetChannelAddress(uint16_t master, uint16_t channel);

// Fills every hook slot except writeMessage and probes the gate once: the
// hardware hooks when the probe finds a window, else the do-nothing hooks.
// Returns the probe's window address or NULL_PHYS.
PhysAddr InstallChannelHooks(TraceOutputTable* table, uint32_t parameter);

// Sets channelIdRecord, master and channel of the handle, in this order.
void BindChannel(TraceHandle* handle, const TraceChannelId* id);

// Do nothing, in each of the slot shapes they are installed in (auxHook and
// writeEnd, the three data hooks).
void NoOpHook(TraceHandle* handle);
void NoOpHook(TraceHandle* handle, uint8_t value);
void NoOpHook(TraceHandle* handle, uint16_t value);
void NoOpHook(TraceHandle* handle, uint32_t value);

// The fallback start hooks: set platformWord to 0, ignore the value.
void ClearPlatformWord(TraceHandle* handle, uint32_t value);

// The hardware hooks: each looks the handle's window up anew (low 16 bits of
// master and channel) and makes its one write of exactly the stated width
// there; a lookup that yields 0 drops the value without any write.
void WriteStart32(TraceHandle* handle, uint32_t value);     // window + CHANNEL_START
void WriteStartAlt32(TraceHandle* handle, uint32_t value);  // window + CHANNEL_START_ALT
void WriteData8(TraceHandle* handle, uint8_t value);        // window + CHANNEL_DATA
void WriteData16(TraceHandle* handle, uint16_t value);      // window + CHANNEL_DATA
void WriteData32(TraceHandle* handle, uint32_t value);      // window + CHANNEL_DATA
void WriteEnd(TraceHandle* handle);                         // 0 at window + CHANNEL_END
