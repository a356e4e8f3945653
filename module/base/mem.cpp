#include "module/base/mem.h"

namespace {

// Unaligned 32-bit load and store; both compile to a single move.
uint32_t LoadWord(const uint8_t* p) {
  uint32_t word;
  __builtin_memcpy(&word, p, 4);
  return word;
}

void StoreWord(uint8_t* p, uint32_t word) { __builtin_memcpy(p, &word, 4); }

}  // namespace

int32_t MemCompare(const void* first, const void* second, uint32_t length) {
  if (first == second) return 0;
  const auto* a = static_cast<const uint8_t*>(first);
  const auto* b = static_cast<const uint8_t*>(second);
  for (uint32_t i = 0; i < length; ++i) {
    if (a[i] != b[i]) return static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
  }
  return 0;
}

void* MemCopy(void* destination, const void* source, uint32_t length) {
  auto* dst = static_cast<uint8_t*>(destination);
  const auto* src = static_cast<const uint8_t*>(source);
  if (length == 0 || dst == src) return destination;
  const bool sourceReachesIntoDestination = src < dst && dst - src < static_cast<intptr_t>(length);
  if (sourceReachesIntoDestination) {
    for (uint32_t i = length; i-- > 0;) dst[i] = src[i];
    return destination;
  }
  uint32_t words = length / 4;
  for (uint32_t i = 0; i < words; ++i) StoreWord(dst + 4 * i, LoadWord(src + 4 * i));
  for (uint32_t i = words * 4; i < length; ++i) dst[i] = src[i];
  return destination;
}

void* MemFill(void* destination, uint32_t value, uint32_t length) {
  auto* dst = static_cast<uint8_t*>(destination);
  const auto byte = static_cast<uint8_t>(value);
  for (uint32_t i = 0; i < length; ++i) dst[i] = byte;
  return destination;
}

void* MemZero(void* destination, uint32_t length) {
  auto* dst = static_cast<uint8_t*>(destination);
  uint32_t words = length / 4;
  for (uint32_t i = 0; i < words; ++i) StoreWord(dst + 4 * i, 0);
  for (uint32_t i = words * 4; i < length; ++i) dst[i] = 0;
  return destination;
}
