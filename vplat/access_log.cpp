#include "vplat/access_log.h"

#include "common/hex.h"

namespace vplat {

using common::Hex;
std::string Describe(const Access& a) {
  const int digits = a.width * 2;
  switch (a.kind) {
    case AccessKind::PortRead:
      return "in" + std::to_string(a.width * 8) + "  port " + Hex(a.address, 2) + " -> " + Hex(a.value, digits);
    case AccessKind::PortWrite:
      return "out" + std::to_string(a.width * 8) + " port " + Hex(a.address, 2) + " <- " + Hex(a.value, digits);
    case AccessKind::MmioRead:
      return "read" + std::to_string(a.width * 8) + "  " + Hex(a.address, 8) + " -> " + Hex(a.value, digits);
    case AccessKind::MmioWrite:
      return "write" + std::to_string(a.width * 8) + " " + Hex(a.address, 8) + " <- " + Hex(a.value, digits);
    case AccessKind::OpenBusRead:
      return "read" + std::to_string(a.width * 8) + "  " + Hex(a.address, 8) + " -> " + Hex(a.value, digits) +
             " (open bus)";
    case AccessKind::OpenBusWrite:
      return "write" + std::to_string(a.width * 8) + " " + Hex(a.address, 8) + " <- " + Hex(a.value, digits) +
             " (open bus, dropped)";
    case AccessKind::FlashWrite:
      return "write" + std::to_string(a.width * 8) + " " + Hex(a.address, 8) + " <- " + Hex(a.value, digits) +
             " (flash, dropped)";
    case AccessKind::Service: {
      std::string text = std::string("call ") + ServiceName(a.service) + "(";
      for (size_t i = 0; i < a.args.size(); ++i) text += (i ? ", " : "") + Hex(a.args[i], 1);
      return text + ") = " + Hex(a.value, 8);
    }
    case AccessKind::Halt:
      return "halt";
  }
  return "?";
}

std::vector<Access> AccessLog::OfKind(AccessKind kind) const {
  std::vector<Access> out;
  for (const auto& e : entries_)
    if (e.kind == kind) out.push_back(e);
  return out;
}

AccessLimitExceeded::AccessLimitExceeded()
    : std::runtime_error("the module made more than " + std::to_string(MAX_DEVICE_ACCESSES) + " device accesses") {}

uint64_t DroppedWrites(const std::vector<Access>& accesses) {
  uint64_t count = 0;
  for (const auto& e : accesses)
    if (e.kind == AccessKind::OpenBusWrite || e.kind == AccessKind::FlashWrite) ++count;
  return count;
}

std::optional<size_t> FirstDifference(const std::vector<Access>& a, const std::vector<Access>& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i)
    if (!(a[i] == b[i])) return i;
  if (a.size() != b.size()) return common;
  return std::nullopt;
}

std::string DescribeDifference(const std::vector<Access>& expected, const std::vector<Access>& actual) {
  const auto index = FirstDifference(expected, actual);
  if (!index) return "identical";
  auto at = [](const std::vector<Access>& log, size_t i) {
    return i < log.size() ? Describe(log[i]) : std::string("(end of log)");
  };
  return "entry " + std::to_string(*index) + ": expected " + at(expected, *index) + ", got " + at(actual, *index);
}

}  // namespace vplat
