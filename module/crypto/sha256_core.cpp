// Init, update and finalisation (the message padding of FIPS 180-4 5.1.1)
// around the block compression that sha256_select.cpp chooses.
#include "module/crypto/sha256_engine.h"

namespace {

// FIPS 180-4 5.3.3.
constexpr uint32_t INITIAL_HASH[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// Offset in Block of the 64-bit message length in bits.
constexpr int32_t LENGTH_OFFSET = 56;

void StoreBigEndian32(uint8_t* out, uint32_t word) {
  out[0] = static_cast<uint8_t>(word >> 24);
  out[1] = static_cast<uint8_t>(word >> 16);
  out[2] = static_cast<uint8_t>(word >> 8);
  out[3] = static_cast<uint8_t>(word);
}

}  // namespace

HashStatus Sha256CoreInit(Sha256Context* context) {
  if (context == nullptr) return HASH_ERROR_NULL_POINTER;
  for (int i = 0; i < 8; ++i) context->HashState[i] = INITIAL_HASH[i];
  context->ByteCount = 0;
  context->PendingBytes = 0;
  return HASH_SUCCESS;
}

HashStatus Sha256CoreUpdate(Sha256Context* context, const void* data, uint32_t length) {
  if (context == nullptr || data == nullptr) return HASH_ERROR_NULL_POINTER;
  const auto* bytes = static_cast<const uint8_t*>(data);
  context->ByteCount += length;

  if (context->PendingBytes > 0) {
    // Unsigned, so that a length of 2^31 or more still tops up correctly.
    uint32_t room = SHA256_BLOCK_SIZE - static_cast<uint32_t>(context->PendingBytes);
    uint32_t take = length < room ? length : room;
    HashCopyBytes(context->Block + context->PendingBytes, bytes, static_cast<int32_t>(take));
    bytes += take;
    length -= take;
    context->PendingBytes += static_cast<int32_t>(take);
    if (context->PendingBytes == static_cast<int32_t>(SHA256_BLOCK_SIZE)) {
      Sha256CompressBlock(context, context->Block);
      context->PendingBytes = 0;
    }
  }

  const uint32_t blocks = length / SHA256_BLOCK_SIZE;
  if (blocks > 0) {
    Sha256CompressBlocks(context, bytes, blocks);
    bytes += blocks * SHA256_BLOCK_SIZE;
    length -= blocks * SHA256_BLOCK_SIZE;
  }

  if (length != 0) {
    HashCopyBytes(context->Block + context->PendingBytes, bytes, static_cast<int32_t>(length));
    context->PendingBytes += static_cast<int32_t>(length);
  }
  return HASH_SUCCESS;
}

HashStatus Sha256CoreFinalN(Sha256Context* context, uint8_t* digest, int32_t digestLength) {
  HashStatus status = HASH_SUCCESS;
  if (context == nullptr || digest == nullptr) {
    status = HASH_ERROR_NULL_POINTER;
  } else {
    context->Block[context->PendingBytes++] = 0x80;
    if (context->PendingBytes > LENGTH_OFFSET) {
      HashFillBytes(context->Block + context->PendingBytes, 0,
                    static_cast<int32_t>(SHA256_BLOCK_SIZE) - context->PendingBytes);
      Sha256CompressBlock(context, context->Block);
      context->PendingBytes = 0;
    }
    HashFillBytes(context->Block + context->PendingBytes, 0, LENGTH_OFFSET - context->PendingBytes);
    uint64_t bitCount = context->ByteCount << 3;
    StoreBigEndian32(context->Block + LENGTH_OFFSET, static_cast<uint32_t>(bitCount >> 32));
    StoreBigEndian32(context->Block + LENGTH_OFFSET + 4, static_cast<uint32_t>(bitCount));
    Sha256CompressBlock(context, context->Block);

    // The state holds eight words; a larger request still gets only those.
    int32_t words = digestLength / 4;
    if (words > 8) words = 8;
    for (int32_t i = 0; i < words; ++i) StoreBigEndian32(digest + 4 * i, context->HashState[i]);
  }
  // Also on a NULL digest; with a NULL context this refuses and is ignored.
  HashFillBytes(context, 0, sizeof(Sha256Context));
  return status;
}

HashStatus Sha256CoreFinal(Sha256Context* context, uint8_t* digest) {
  return Sha256CoreFinalN(context, digest, SHA256_DIGEST_SIZE);
}
