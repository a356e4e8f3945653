// Shared by the trace tests: a virtual platform with a trace hub, and the
// expected access sequences written out as literal numbers (not from
// the module's or the device's constants).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/trace/trace_channel.h"
#include "module/trace/trace_message.h"
#include "vplat/devices/trace_hub.h"
#include "vplat/platform.h"
#include "runners/scenario.h"

namespace tracetest {

using vplat::Access;
using vplat::AccessKind;
using vplat::TraceHubMode;

// Master 32, channel 14: 0xFE200000 + 0 * 0x2000 + 14 * 0x40.
inline constexpr uint32_t kWindow = 0xFE200380u;

// A platform with a trace hub in `mode`, current for the rig's lifetime.
struct Rig {
  explicit Rig(TraceHubMode mode) : hub(vplat::AddTraceHub(platform, mode)), scope(platform) {}
  const std::vector<Access>& Log() const { return platform.log.Entries(); }
  std::vector<Access> Writes() const { return platform.log.OfKind(AccessKind::MmioWrite); }

  vplat::Platform platform;
  vplat::TraceHub& hub;
  vplat::ScopedPlatform scope;
};

inline Access Read(uint32_t address, uint8_t width, uint32_t value) {
  return {AccessKind::MmioRead, address, width, value};
}
inline Access Write(uint32_t address, uint8_t width, uint32_t value) {
  return {AccessKind::MmioWrite, address, width, value};
}

// The reads of one GetChannelAddress call, as each mode answers them: the
// vendor ID, register 0x48 (base 0xFE000000 with flag bit 1), the disable
// register at 0xFE000000 + 0x5D0, the first aperture word.
inline std::vector<Access> GateReads(TraceHubMode mode) {
  switch (mode) {
    case TraceHubMode::Present:
      return {Read(0xE00FA000, 2, 0x8086), Read(0xE00FA048, 4, 0xFE000002), Read(0xFE0005D0, 4, 0),
              Read(0xFE200000, 4, 0)};
    case TraceHubMode::Disabled:
      return {Read(0xE00FA000, 2, 0x8086), Read(0xE00FA048, 4, 0xFE000002), Read(0xFE0005D0, 4, 1)};
    case TraceHubMode::ApertureDead:
      return {Read(0xE00FA000, 2, 0x8086), Read(0xE00FA048, 4, 0xFE000002), Read(0xFE0005D0, 4, 0),
              Read(0xFE200000, 4, 0xFFFFFFFF)};
    case TraceHubMode::Absent:
      return {Read(0xE00FA000, 2, 0xFFFF)};
  }
  return {};
}

// One write a hook makes: offset in the channel window, width, value.
struct ChannelItem {
  uint32_t offset;
  uint8_t width;
  uint32_t value;
};

// The whole log of one message sent through a freshly initialised table with
// the hub present: the probe's gate reads, then for every item the lookup's
// gate reads followed by the item's write.
inline std::vector<Access> ExpectedLog(uint32_t window, const std::vector<ChannelItem>& items) {
  std::vector<Access> log = GateReads(TraceHubMode::Present);
  for (const auto& item : items) {
    for (const auto& read : GateReads(TraceHubMode::Present)) log.push_back(read);
    log.push_back(Write(window + item.offset, item.width, item.value));
  }
  return log;
}

// The origin GUID 23a3e7ba-75d1-4cb9-9c8f-56fa4e48d99e as four data words.
inline std::vector<ChannelItem> GuidItems() {
  return {{0x00, 4, 0x23A3E7BA}, {0x00, 4, 0x4CB975D1}, {0x00, 4, 0xFA568F9C}, {0x00, 4, 0x9ED9484E}};
}

// The text part of a length-prefixed message: 32-bit words, then a 16-bit
// item when 2 or 3 bytes remain, then a byte when one remains.
inline std::vector<ChannelItem> TextItems(const std::string& text) {
  std::vector<ChannelItem> items;
  const auto byte = [&](size_t i) { return uint32_t{static_cast<uint8_t>(text[i])}; };
  size_t i = 0;
  for (; i + 4 <= text.size(); i += 4)
    items.push_back({0x00, 4, byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24});
  if (text.size() - i >= 2) {
    items.push_back({0x00, 2, byte(i) | byte(i + 1) << 8});
    i += 2;
  }
  if (text.size() - i == 1) items.push_back({0x00, 1, byte(i)});
  return items;
}

// TraceWriteString's message for a text of 1 to 65535 bytes .
inline std::vector<ChannelItem> StringMessageItems(const std::string& text) {
  std::vector<ChannelItem> items = {{0x10, 4, 0x01FF0222}};
  for (const auto& g : GuidItems()) items.push_back(g);
  items.push_back({0x00, 2, static_cast<uint32_t>(text.size())});
  for (const auto& t : TextItems(text)) items.push_back(t);
  items.push_back({0x30, 4, 0});
  return items;
}

// A handle set up the way TraceWriteString sets its own up, but with a tag
// and channel of the test's choosing, through a table of its own. Neither
// copyable nor movable: the handle points into it.
struct Sender {
  explicit Sender(uint32_t tag, TraceChannelId channel = {32, 14}) : id(channel) {
    TraceOutputInit(&table);
    handle = ZeroTraceRecord.handle;
    handle.flags |= TRACE_HANDLE_INITIALISED;
    handle.output = &table;
    table.bindHook(&handle, &id);
    handle.tag = tag;
    handle.originGuid = TRACE_ORIGIN_GUID;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Send(const std::string& text) {
    SendDebugString(&handle, static_cast<uint16_t>(text.size()), text.data());
  }

  TraceChannelId id;
  TraceOutputTable table;
  TraceHandle handle;
};

// The data bytes of a list of writes to one window's data register, in
// order, little-endian: the byte stream a receiver sees after the header.
inline std::vector<uint8_t> DataBytes(const std::vector<Access>& writes, uint32_t window) {
  std::vector<uint8_t> bytes;
  for (const auto& w : writes)
    if (w.kind == AccessKind::MmioWrite && w.address == window)
      for (int i = 0; i < w.width; ++i) bytes.push_back(static_cast<uint8_t>(w.value >> (8 * i)));
  return bytes;
}

inline void ExpectLog(const std::vector<Access>& expected, const std::vector<Access>& actual) {
  EXPECT_TRUE(expected == actual) << vplat::DescribeDifference(expected, actual) << " (expected "
                                  << expected.size() << " entries, got " << actual.size() << ")";
}

}  // namespace tracetest
