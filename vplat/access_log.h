// The ordered record of everything the module does to the outside world:
// port and MMIO accesses with their widths and values, accesses to addresses
// nobody owns (the open bus) and dropped writes into flash, PEI service calls
// with their arguments, and the halt. Tests run a scenario first and assert on the
// whole sequence afterwards; the emulator produces the same record for the
// real binary so the two can be compared entry by entry.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vplat/pei_service.h"

namespace vplat {

// OpenBusRead and OpenBusWrite: an exact-width access that no region owns
// (a read gets all ones where nothing answers). FlashWrite: a write into the
// flash, which the flash ignores.
enum class AccessKind : uint8_t {
  PortRead, PortWrite, MmioRead, MmioWrite, OpenBusRead, OpenBusWrite, FlashWrite, Service, Halt
};

struct Access {
  AccessKind kind;
  uint32_t address = 0;  // port number or physical address
  uint8_t width = 0;     // bytes: 1, 2 or 4
  uint32_t value = 0;    // value read or written; a service's status
  PeiService service = PeiService::Unknown;  // for AccessKind::Service
  std::vector<uint32_t> args;  // service arguments, host pointers left out

  bool operator==(const Access&) const = default;
};

std::string Describe(const Access& access);

// Writes in `accesses` that reached nothing: into flash or where nothing is mapped.
uint64_t DroppedWrites(const std::vector<Access>& accesses);

// Bounds what a module stuck in a loop of device accesses can make a run
// hold: twice the most the module makes on any path (the TSC measurement's
// time-out, 2^20 polls of port B) and small enough to keep a log in memory
// (about 100 MB).
inline constexpr size_t MAX_DEVICE_ACCESSES = size_t{1} << 21;

// Thrown by AccessLog::Record once a run has made more than
// MAX_DEVICE_ACCESSES accesses; nothing more is recorded or carried out.
class AccessLimitExceeded : public std::runtime_error {
 public:
  AccessLimitExceeded();
};

class AccessLog {
 public:
  void Record(Access access) {
    if (access.kind != AccessKind::Halt && entries_.size() >= MAX_DEVICE_ACCESSES) throw AccessLimitExceeded();
    entries_.push_back(std::move(access));
  }
  const std::vector<Access>& Entries() const { return entries_; }
  void Clear() { entries_.clear(); }

  // Only the entries of one kind, for focused asserts.
  std::vector<Access> OfKind(AccessKind kind) const;
  uint64_t DroppedWrites() const { return vplat::DroppedWrites(entries_); }

 private:
  std::vector<Access> entries_;
};

// Index of the first entry where the two logs differ (a missing entry counts),
// or nullopt when they are identical.
std::optional<size_t> FirstDifference(const std::vector<Access>& a, const std::vector<Access>& b);

// "entry N: expected ... got ..." for a failed comparison, for test messages.
std::string DescribeDifference(const std::vector<Access>& expected, const std::vector<Access>& actual);

}  // namespace vplat
