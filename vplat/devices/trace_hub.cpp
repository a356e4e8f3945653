#include "vplat/devices/trace_hub.h"

namespace vplat {
namespace {

uint32_t AllOnes(uint8_t width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

}  // namespace

std::optional<ChannelRegister> LocateChannelRegister(uint32_t address) {
  if (address < TRACE_HUB_APERTURE_BASE || address - TRACE_HUB_APERTURE_BASE >= TRACE_HUB_APERTURE_SIZE)
    return std::nullopt;
  const uint32_t offset = address - TRACE_HUB_APERTURE_BASE;
  return ChannelRegister{TRACE_HUB_FIRST_MASTER + offset / TRACE_HUB_MASTER_WINDOW,
                         offset % TRACE_HUB_MASTER_WINDOW / TRACE_HUB_CHANNEL_WINDOW,
                         offset % TRACE_HUB_CHANNEL_WINDOW};
}

uint32_t TraceHub::RegisterFile::Read(uint32_t offset, uint8_t width) {
  return present ? Get(offset, width) : AllOnes(width);
}

uint32_t TraceHub::RegisterFile::Get(uint32_t offset, uint8_t width) const {
  uint32_t value = 0;
  for (uint8_t i = 0; i < width; ++i) value |= uint32_t{bytes_[offset + i]} << (8 * i);
  return value;
}

void TraceHub::RegisterFile::Write(uint32_t offset, uint8_t width, uint32_t value) {
  if (present) Set(offset, width, value);
}

void TraceHub::RegisterFile::Set(uint32_t offset, uint8_t width, uint32_t value) {
  for (uint8_t i = 0; i < width; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t TraceHub::ApertureFile::Read(uint32_t, uint8_t width) { return alive ? 0 : AllOnes(width); }

TraceHub::TraceHub(TraceHubMode mode) : mode_(mode) {
  config_.Set(TRACE_HUB_VENDOR_ID_REGISTER, 2, TRACE_HUB_VENDOR_ID);
  config_.Set(TRACE_HUB_DEVICE_ID_REGISTER, 2, TRACE_HUB_DEVICE_ID);
  config_.Set(TRACE_HUB_BASE_REGISTER, 4, TRACE_HUB_BLOCK_BASE | TRACE_HUB_BASE_REGISTER_FLAGS);
  SetMode(mode);
}

void TraceHub::SetMode(TraceHubMode mode) {
  mode_ = mode;
  const bool absent = mode == TraceHubMode::Absent;
  config_.present = !absent;
  block_.present = !absent;
  aperture_.alive = mode != TraceHubMode::Absent && mode != TraceHubMode::ApertureDead;
  const uint32_t disable = block_.Get(TRACE_HUB_DISABLE_REGISTER, 4);
  block_.Set(TRACE_HUB_DISABLE_REGISTER, 4,
             mode == TraceHubMode::Disabled ? disable | TRACE_HUB_DISABLE_BIT : disable & ~TRACE_HUB_DISABLE_BIT);
}

TraceHub& AddTraceHub(Platform& platform, TraceHubMode mode) {
  auto& hub = platform.AddDevice<TraceHub>(mode);
  platform.memory.MapMmio(TRACE_HUB_CONFIG_BASE, TRACE_HUB_CONFIG_SIZE, &hub.Config());
  platform.memory.MapMmio(TRACE_HUB_BLOCK_BASE, TRACE_HUB_BLOCK_SIZE, &hub.Block());
  platform.memory.MapMmio(TRACE_HUB_APERTURE_BASE, TRACE_HUB_APERTURE_SIZE, &hub.Aperture());
  return hub;
}

}  // namespace vplat
