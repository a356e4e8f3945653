#include "common/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace common {

Digest Sha256(std::span<const uint8_t> bytes) {
  Digest digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 || size != digest.size())
    throw std::runtime_error("OpenSSL SHA-256 failed");
  return digest;
}

std::string HexDigest(const Digest& digest) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

}  // namespace common
