// Shared by the platform tests: a run-length form of an expected access log
// (a time-out is a million identical polls), the time rule that predicts a
// measured frequency, and raw HOB lists laid out byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module/types/efi_types.h"
#include "vplat/access_log.h"
#include "vplat/platform.h"

namespace platform_test {

using vplat::Access;
using vplat::AccessKind;

inline Access In(uint16_t port, uint8_t value) { return {AccessKind::PortRead, port, 1, value}; }
inline Access Out(uint16_t port, uint8_t value) { return {AccessKind::PortWrite, port, 1, value}; }
inline Access Call(vplat::PeiService service, EFI_STATUS status, std::vector<uint32_t> args) {
  return {AccessKind::Service, 0, 0, status, service, std::move(args)};
}

// One expected entry, repeated `times` times in a row.
struct Span {
  Access access;
  size_t times = 1;
};

inline void Append(std::vector<Span>& to, const std::vector<Span>& more) { to.insert(to.end(), more.begin(), more.end()); }

// The whole log against the expected spans, entry by entry.
inline ::testing::AssertionResult LogMatches(const std::vector<Access>& log, const std::vector<Span>& expected) {
  size_t index = 0;
  for (const auto& span : expected) {
    for (size_t i = 0; i < span.times; ++i, ++index) {
      if (index >= log.size())
        return ::testing::AssertionFailure() << "entry " << index << ": expected " << Describe(span.access)
                                             << ", got (end of log)";
      if (!(log[index] == span.access))
        return ::testing::AssertionFailure() << "entry " << index << ": expected " << Describe(span.access)
                                             << ", got " << Describe(log[index]);
    }
  }
  if (index != log.size())
    return ::testing::AssertionFailure() << "entry " << index << ": expected (end of log), got "
                                         << Describe(log[index]);
  return ::testing::AssertionSuccess();
}

// The virtual TSC after `clocks` PIT clocks: floor(clocks * hz / 1193182).
inline uint64_t TscAt(uint64_t clocks, uint64_t hz) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(clocks) * hz / 1193182u);
}

// dba6a7e3-bb57-4be7-8af8-d578db7e5687 as stored.
inline const std::vector<uint8_t> TSC_GUID_BYTES = {0xe3, 0xa7, 0xa6, 0xdb, 0x57, 0xbb, 0xe7, 0x4b,
                                                    0x8a, 0xf8, 0xd5, 0x78, 0xdb, 0x7e, 0x56, 0x87};

// A HOB of `length` bytes: type, length, zero Reserved, then `body` (cut or
// zero-padded to the length). Never shorter than its 8-byte header.
inline std::vector<uint8_t> RawHob(uint16_t type, uint16_t length, std::vector<uint8_t> body = {}) {
  std::vector<uint8_t> hob = {uint8_t(type), uint8_t(type >> 8), uint8_t(length), uint8_t(length >> 8), 0, 0, 0, 0};
  body.resize(length > 8 ? length - 8 : 0);
  hob.insert(hob.end(), body.begin(), body.end());
  hob.resize(length > 8 ? length : 8);
  return hob;
}

// A GUID-extension HOB named by 16 GUID bytes, with `data`, of `length` bytes.
inline std::vector<uint8_t> GuidHob(std::vector<uint8_t> name, const std::vector<uint8_t>& data, uint16_t length) {
  name.insert(name.end(), data.begin(), data.end());
  return RawHob(EFI_HOB_TYPE_GUID_EXTENSION, length, name);
}

// The TSC frequency HOB as the module must leave it.
inline std::vector<uint8_t> TscHob(uint64_t frequency) {
  std::vector<uint8_t> data(8);
  for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(frequency >> (8 * i));
  return GuidHob(TSC_GUID_BYTES, data, 32);
}

// Replaces the platform's HOB list by `hobs`, then the end-of-list HOB;
// returns the address of the end-of-list HOB.
inline uint32_t WriteHobList(vplat::Platform& p, const std::vector<std::vector<uint8_t>>& hobs) {
  std::vector<uint8_t> bytes;
  for (const auto& h : hobs) bytes.insert(bytes.end(), h.begin(), h.end());
  const uint32_t end = vplat::HOB_LIST_BASE + static_cast<uint32_t>(bytes.size());
  const auto last = RawHob(EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  bytes.insert(bytes.end(), last.begin(), last.end());
  p.memory.Poke(vplat::HOB_LIST_BASE, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return end;
}

}  // namespace platform_test
