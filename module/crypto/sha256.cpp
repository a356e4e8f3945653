// The boolean layer that the rest of the module calls: screens NULL pointers,
// then maps the engine's status to true for 0.
#include "module/crypto/sha256.h"

#include "module/crypto/sha256_engine.h"

uint32_t Sha256ContextSize(void) { return sizeof(Sha256Context); }

BOOLEAN Sha256Begin(void* context) {
  if (context == nullptr) return 0;
  return Sha256CoreInit(static_cast<Sha256Context*>(context)) == HASH_SUCCESS;
}

BOOLEAN Sha256Absorb(void* context, const void* data, uint32_t length) {
  if (context == nullptr) return 0;
  if (data == nullptr && length != 0) return 0;
  // NULL data with length 0 reaches the engine, which refuses it.
  return Sha256CoreUpdate(static_cast<Sha256Context*>(context), data, length) == HASH_SUCCESS;
}

BOOLEAN Sha256Finish(void* context, uint8_t* digest) {
  // Checked here because the engine would wipe the context on a NULL digest.
  if (context == nullptr || digest == nullptr) return 0;
  return Sha256CoreFinal(static_cast<Sha256Context*>(context), digest) == HASH_SUCCESS;
}
