// The compiler may emit calls to memcpy and memset for record copies and
// zero-initialisation even in freestanding code; the target links no C
// library, so the image provides them. Built with -fno-builtin, so these
// loops are not turned back into calls to themselves.
#include <stddef.h>
#include <stdint.h>

extern "C" void* memcpy(void* destination, const void* source, size_t length) {
  auto* dst = static_cast<uint8_t*>(destination);
  const auto* src = static_cast<const uint8_t*>(source);
  while (length-- != 0) *dst++ = *src++;
  return destination;
}

extern "C" void* memset(void* destination, int value, size_t length) {
  auto* dst = static_cast<uint8_t*>(destination);
  while (length-- != 0) *dst++ = static_cast<uint8_t>(value);
  return destination;
}
