// Shared by the SHA-256 tests: OpenSSL's EVP SHA-256 as the independent
// oracle, reproducible random messages, driving the boolean layer, and the
// virtual platform whose CPU decides which compression the engine runs.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "module/crypto/sha256.h"
#include "module/crypto/sha256_engine.h"
#include "common/host_cpu.h"
#include "vplat/platform.h"

namespace sha256_test {

using Digest = std::array<uint8_t, 32>;

inline Digest OracleDigest(const uint8_t* data, size_t length) {
  Digest digest{};
  unsigned int size = 0;
  EVP_Digest(data, length, digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

inline std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Begin, one Absorb per piece over consecutive bytes of data, Finish.
inline Digest EngineDigest(const uint8_t* data, const std::vector<uint32_t>& pieces) {
  Sha256Context context;
  Digest digest{};
  EXPECT_TRUE(Sha256Begin(&context));
  for (uint32_t piece : pieces) {
    EXPECT_TRUE(Sha256Absorb(&context, data, piece));
    data += piece;
  }
  EXPECT_TRUE(Sha256Finish(&context, digest.data()));
  return digest;
}

// The engine asks the processor, through the hardware seam, which
// compression to run: engine tests run on a virtual platform, whose default
// CPU has no SHA extensions.
class OnVirtualPlatform : public ::testing::Test {
 protected:
  vplat::Platform platform;
  vplat::ScopedPlatform scope{platform};
};

enum class Path { Portable, ShaExtensions };

// Each test runs once per compression path: the virtual CPU offers the SHA
// extensions or not, and the engine picks accordingly.
class OnEachPath : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (GetParam() == Path::Portable) return;
    if (!common::HostHasShaExtensions()) GTEST_SKIP() << "this processor has no SHA extensions";
    platform.cpu = vplat::ShaCapableCpu();
  }

  vplat::Platform platform;
  vplat::ScopedPlatform scope{platform};
};

inline std::string PathName(const ::testing::TestParamInfo<Path>& info) {
  return info.param == Path::Portable ? "Portable" : "ShaExtensions";
}

}  // namespace sha256_test
