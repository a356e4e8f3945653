// The host processor itself, asked directly (not the virtual platform's CPU):
// code that runs the SHA extensions for real can run only where they exist.
#pragma once

#include <cpuid.h>

namespace common {

inline bool HostHasShaExtensions() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sse = (ecx & bit_SSSE3) != 0 && (ecx & bit_SSE4_1) != 0;
  return sse && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA) != 0;
}

}  // namespace common
