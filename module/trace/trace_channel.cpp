#include "module/trace/trace_channel.h"

#include "module/hw/hw.h"

PhysAddr GetChannelAddress(uint16_t master, uint16_t channel) {
  const uint16_t vendor = hw::Read16(Phys(GATE_CONFIG_ADDRESS));
  // No function answers, so register 0x48 holds no base: reading the disable
  // register would read at an undetermined address. No trace hub.
  if (vendor == GATE_VENDOR_ABSENT) return NULL_PHYS;
  const uint32_t block = hw::Read32(Phys(GATE_CONFIG_ADDRESS + GATE_BASE_REGISTER)) & GATE_BASE_MASK;
  if ((hw::Read32(Phys(block + TRACE_DISABLE_REGISTER)) & TRACE_DISABLE_BIT) != 0) return NULL_PHYS;
  if (hw::Read32(Phys(TRACE_APERTURE_BASE)) == APERTURE_DEAD) return NULL_PHYS;
  if (master < MIN_TRACE_MASTER) return NULL_PHYS;
  // Modulo 2^32, as the processor computes it.
  return Phys(TRACE_APERTURE_BASE + (uint32_t{master} - MIN_TRACE_MASTER) * MASTER_WINDOW_SIZE +
              uint32_t{channel} * CHANNEL_WINDOW_SIZE);
}

PhysAddr InstallChannelHooks(TraceOutputTable* table, uint32_t parameter) {
  table->bindHook = BindChannel;
  table->auxHook = NoOpHook;
  table->hookParam = parameter;
  table->writeStart = WriteStart32;
  table->writeStartAlt = WriteStartAlt32;
  table->writeData8 = WriteData8;
  table->writeData16 = WriteData16;
  table->writeData32 = WriteData32;
  table->writeEnd = WriteEnd;

  const PhysAddr probe = GetChannelAddress(PROBE_MASTER, PROBE_CHANNEL);
  if (probe != NULL_PHYS) return probe;

  table->hookParam = parameter;
  table->writeStart = ClearPlatformWord;
  table->writeStartAlt = ClearPlatformWord;
  table->writeData8 = NoOpHook;
  table->writeData16 = NoOpHook;
  table->writeData32 = NoOpHook;
  table->writeEnd = NoOpHook;
  return NULL_PHYS;
}

void BindChannel(TraceHandle* handle, const TraceChannelId* id) {
  handle->channelIdRecord = id;
  handle->master = id->master;
  handle->channel = id->channel;
}

void NoOpHook(TraceHandle*) {}
void NoOpHook(TraceHandle*, uint8_t) {}
void NoOpHook(TraceHandle*, uint16_t) {}
void NoOpHook(TraceHandle*, uint32_t) {}

void ClearPlatformWord(TraceHandle* handle, uint32_t) { handle->platformWord = 0; }

namespace {

PhysAddr WindowOf(const TraceHandle* handle) {
  return GetChannelAddress(static_cast<uint16_t>(handle->master), static_cast<uint16_t>(handle->channel));
}

}  // namespace

void WriteStart32(TraceHandle* handle, uint32_t value) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write32(window + CHANNEL_START, value);
}

void WriteStartAlt32(TraceHandle* handle, uint32_t value) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write32(window + CHANNEL_START_ALT, value);
}

void WriteData8(TraceHandle* handle, uint8_t value) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write8(window + CHANNEL_DATA, value);
}

void WriteData16(TraceHandle* handle, uint16_t value) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write16(window + CHANNEL_DATA, value);
}

void WriteData32(TraceHandle* handle, uint32_t value) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write32(window + CHANNEL_DATA, value);
}

void WriteEnd(TraceHandle* handle) {
  const PhysAddr window = WindowOf(handle);
  if (window != NULL_PHYS) hw::Write32(window + CHANNEL_END, 0);
}
