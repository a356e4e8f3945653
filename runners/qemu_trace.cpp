#include "runners/qemu_trace.h"

#include <charconv>
#include <string>

namespace runners {
namespace {

constexpr std::string_view EVENT = "memory_region_ops_write ";
constexpr uint64_t PORT_SPACE_END = 0x10000;

// The number after `key` (e.g. " addr 0x") in `line`, read in `base`.
std::optional<uint64_t> Field(std::string_view line, std::string_view key, int base) {
  const size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  const char* first = line.data() + at + key.size();
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(first, line.data() + line.size(), value, base);
  if (error != std::errc() || end == first) return std::nullopt;
  return value;
}

}  // namespace

std::optional<PortWrite> ParsePortWrite(std::string_view line) {
  if (!line.starts_with(EVENT)) return std::nullopt;
  // Writes by no processor (cpu -1) are device DMA, not port writes.
  if (line.find(" cpu -1 ") != std::string_view::npos) return std::nullopt;
  const auto addr = Field(line, " addr 0x", 16);
  const auto value = Field(line, " value 0x", 16);
  const auto size = Field(line, " size ", 10);
  if (!addr || !value || !size || *addr >= PORT_SPACE_END || *size == 0 || *size > 4) return std::nullopt;
  return PortWrite{static_cast<uint16_t>(*addr), static_cast<uint32_t>(*value), static_cast<uint8_t>(*size)};
}

}  // namespace runners
