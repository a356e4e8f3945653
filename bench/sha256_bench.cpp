// SHA-256 of the verified region's size (2,949,120 bytes) in one absorb: this
// engine on each of its compression paths against OpenSSL's EVP SHA-256 in
// the same run. The engine picks its path from the CPU that the virtual
// platform presents; OpenSSL picks its own from OPENSSL_ia32cap when it
// starts, so sha256_compare.sh runs this program once per setting.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "common/host_cpu.h"
#include "module/crypto/sha256.h"
#include "vplat/platform.h"

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

void HashRegion(benchmark::State& state, const vplat::CpuState& cpu) {
  vplat::Platform platform;
  platform.cpu = cpu;
  vplat::ScopedPlatform scope(platform);
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

void BM_Sha256EnginePortable(benchmark::State& state) { HashRegion(state, vplat::CpuState{}); }

void BM_Sha256EngineShaExtensions(benchmark::State& state) {
  if (!common::HostHasShaExtensions()) return state.SkipWithError("this processor has no SHA extensions");
  HashRegion(state, vplat::ShaCapableCpu());
}

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

// The fastest repetition: the one least disturbed by the rest of the machine.
double Fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }

BENCHMARK(BM_Sha256EnginePortable)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_Sha256EngineShaExtensions)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_Sha256OpenSsl)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

}  // namespace

BENCHMARK_MAIN();
