// The engine's own byte routines, with its status codes.
#include "module/base/mem.h"
#include "module/crypto/sha256_engine.h"

HashStatus HashCopyBytes(void* destination, const void* source, int32_t count) {
  if (destination == nullptr || source == nullptr) return HASH_ERROR_NULL_POINTER;
  auto* dst = static_cast<uint8_t*>(destination);
  const auto* src = static_cast<const uint8_t*>(source);
  for (int32_t i = 0; i < count; ++i) dst[i] = src[i];
  return HASH_SUCCESS;
}

HashStatus HashFillBytes(void* buffer, uint32_t value, int32_t count) {
  if (buffer == nullptr) return HASH_ERROR_NULL_POINTER;
  if (count > 0) MemFill(buffer, value, static_cast<uint32_t>(count));
  return HASH_SUCCESS;
}
