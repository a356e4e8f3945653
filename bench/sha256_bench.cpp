// SHA-256 of the verified region's size (2,949,120 bytes) in one absorb: this
// engine against OpenSSL's EVP SHA-256 in the same run. OpenSSL picks its code
// path from OPENSSL_ia32cap when it starts; sha256_compare.sh runs this
// program once per setting.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "module/crypto/sha256.h"

namespace {

constexpr uint32_t REGION_SIZE = 0x2D0000;

const std::vector<uint8_t>& Region() {
  static const std::vector<uint8_t> region = [] {
    std::vector<uint8_t> bytes(REGION_SIZE);
    std::mt19937 random(2949120);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
  }();
  return region;
}

void BM_Sha256Engine(benchmark::State& state) {
  const auto& region = Region();
  alignas(8) uint8_t context[112];
  uint8_t digest[32];
  for (auto _ : state) {
    Sha256Begin(context);
    Sha256Absorb(context, region.data(), REGION_SIZE);
    Sha256Finish(context, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * REGION_SIZE);
}
BENCHMARK(BM_Sha256Engine)->Unit(benchmark::kMillisecond);

void BM_Sha256OpenSsl(benchmark::State& state) {
  const auto& region = Region();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  for (auto _ : state) {
    EVP_Digest(region.data(), REGION_SIZE, digest, &size, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * REGION_SIZE);
}
BENCHMARK(BM_Sha256OpenSsl)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
