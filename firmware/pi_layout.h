// Small helpers the PI code shares for reading and writing its records:
// unaligned little-endian records, 24-bit sizes, alignment and 8- and 16-bit
// sums.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace firmware {

constexpr uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// The caller has checked that the record lies within `bytes`.
template <typename T>
T ReadRecord(std::span<const uint8_t> bytes, size_t at) {
  T record;
  std::memcpy(&record, bytes.data() + at, sizeof(T));
  return record;
}

template <typename T>
void AppendRecord(std::vector<uint8_t>& out, const T& record) {
  const size_t at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &record, sizeof(T));
}

template <typename T>
void WriteRecord(std::span<uint8_t> bytes, size_t at, const T& record) {
  std::memcpy(bytes.data() + at, &record, sizeof(T));
}

inline uint32_t Read24(const uint8_t (&size)[3]) { return size[0] | size[1] << 8 | size[2] << 16; }

inline void Write24(uint8_t (&size)[3], uint32_t value) {
  size[0] = static_cast<uint8_t>(value);
  size[1] = static_cast<uint8_t>(value >> 8);
  size[2] = static_cast<uint8_t>(value >> 16);
}

inline uint8_t Sum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

// Little-endian 16-bit words; `bytes` has an even length.
inline uint16_t Sum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum = static_cast<uint16_t>(sum + (bytes[i] | bytes[i + 1] << 8));
  return sum;
}

}  // namespace firmware
