// Chooses the implementation of the block compression: the SHA extensions
// where the processor has them and SSE is enabled, the portable code
// everywhere else. The question goes to the processor on every call (three
// CPUIDs and a CR4 read: a few hundred cycles, some microseconds where a
// hypervisor traps CPUID), and the engine asks it once per update or
// finalisation block, against milliseconds of hashing: the module keeps no
// state of its own to remember the answer in.
#include "module/crypto/sha256_engine.h"
#include "module/hw/hw.h"

namespace {

// CPUID leaves and bits, as the processor manuals number them.
constexpr uint32_t CPUID_MAX_LEAF = 0;
constexpr uint32_t CPUID_FEATURES = 1;
constexpr uint32_t CPUID_EXTENDED_FEATURES = 7;
constexpr uint32_t FEATURES_ECX_SSSE3 = 1u << 9;
constexpr uint32_t FEATURES_ECX_SSE41 = 1u << 19;
constexpr uint32_t EXTENDED_FEATURES_EBX_SHA = 1u << 29;
// CR4.OSFXSR: without it every SSE instruction raises #UD.
constexpr uint32_t CR4_OSFXSR = 1u << 9;

}  // namespace

bool ShaExtensionsUsable() {
  // Leaf 7 means something only when leaf 0 says it exists.
  if (hw::Cpuid(CPUID_MAX_LEAF, 0).eax < CPUID_EXTENDED_FEATURES) return false;
  constexpr uint32_t needed = FEATURES_ECX_SSSE3 | FEATURES_ECX_SSE41;
  if ((hw::Cpuid(CPUID_FEATURES, 0).ecx & needed) != needed) return false;
  if ((hw::Cpuid(CPUID_EXTENDED_FEATURES, 0).ebx & EXTENDED_FEATURES_EBX_SHA) == 0) return false;
  return (hw::ReadCr4() & CR4_OSFXSR) != 0;
}

void Sha256CompressBlocks(Sha256Context* context, const uint8_t* data, uint32_t blocks) {
  if (ShaExtensionsUsable()) {
    Sha256CompressShaExtensions(context->HashState, data, blocks);
  } else {
    Sha256CompressPortable(context->HashState, data, blocks);
  }
}

void Sha256CompressBlock(Sha256Context* context, const uint8_t* block) {
  Sha256CompressBlocks(context, block, 1);
}
