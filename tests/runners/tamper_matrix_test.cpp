// Any single bit flipped where the check looks fails it: at 10,000 sampled
// bits of the region (and its ends and block edges), and at every bit of the
// FIT pointer, the FIT, the manifest's signature and its reference digest.
// All on the host build, on one platform restarted between runs; 50 of them
// on the real veriflash.efi too.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/hex.h"
#include "common/host_cpu.h"
#include "runners/run_emulated.h"
#include "runners/run_native.h"
#include "tests/support/shipped_module.h"
#include "vplat/flash_image.h"

namespace {

constexpr size_t REGION_SAMPLES = 10'000;
constexpr size_t EMULATED_SAMPLES = 50;
constexpr uint32_t FIT_BYTES = 5 * 16;  // the header and the four default entries
// Bit 7 of the FIT header's type byte asks for the optional checksum: cleared,
// the table still holds and the check passes, as it should.
constexpr uint32_t CHECKSUM_VALID_BYTE = vplat::DEFAULT_FIT_ADDRESS + 14;
constexpr uint8_t CHECKSUM_VALID_BIT = 7;

struct Flip {
  uint32_t address;
  uint8_t bit;
};

std::string Name(const Flip& f) { return "bit " + std::to_string(f.bit) + " at " + common::Hex(f.address, 8); }

void AllBits(std::vector<Flip>& flips, uint32_t address, uint32_t bytes) {
  for (uint32_t i = 0; i < bytes; ++i)
    for (uint8_t bit = 0; bit < 8; ++bit) flips.push_back({address + i, bit});
}

std::vector<Flip> Flips() {
  std::vector<Flip> flips;
  std::mt19937 random(20261208);  // fixed: the same sample on every run
  for (uint32_t edge : {0u, 1u, 63u, 64u, 65u, vplat::REGION_SIZE - 65, vplat::REGION_SIZE - 64, vplat::REGION_SIZE - 1})
    flips.push_back({vplat::REGION_BASE + edge, 0});
  while (flips.size() < REGION_SAMPLES)
    flips.push_back({vplat::REGION_BASE + static_cast<uint32_t>(random() % vplat::REGION_SIZE),
                     static_cast<uint8_t>(random() % 8)});
  AllBits(flips, vplat::FIT_POINTER, 4);
  AllBits(flips, vplat::DEFAULT_FIT_ADDRESS, FIT_BYTES);
  AllBits(flips, vplat::DEFAULT_MANIFEST_ADDRESS, 8);
  AllBits(flips, vplat::DEFAULT_MANIFEST_ADDRESS + vplat::MANIFEST_DIGEST_AT, 32);
  std::erase_if(flips, [](const Flip& f) { return f.address == CHECKSUM_VALID_BYTE && f.bit == CHECKSUM_VALID_BIT; });
  return flips;
}

runners::Scenario Base() {
  runners::Scenario s;
  s.image = vplat::BuildFlashImage({});
  s.tscHobPresent = true;  // the entry measures nothing
  s.traceHub = vplat::TraceHubMode::Absent;
  return s;
}

TEST(TamperMatrix, EverySingleBitWhereTheCheckLooksFailsOnTheHostBuild) {
  const runners::Scenario base = Base();
  vplat::Platform platform;
  // The module's SHA path is the fast one where the host can run it.
  if (common::HostHasShaExtensions()) platform.cpu = vplat::ShaCapableCpu();
  runners::Configure(platform, base);
  ASSERT_EQ(runners::VerdictOf(runners::RunNativeOn(platform, base)), runners::Verdict::Pass);
  const auto flash = platform.memory.MutableFlash();
  const uint64_t flashBase = 0x100000000ull - flash.size();
  size_t failed = 0;
  const std::vector<Flip> flips = Flips();
  for (const Flip& f : flips) {
    uint8_t& byte = flash[f.address - flashBase];
    byte ^= static_cast<uint8_t>(1u << f.bit);
    platform.Restart();
    runners::ArmRun(platform, base);
    const runners::Outcome o = runners::RunNativeOn(platform, base);
    byte ^= static_cast<uint8_t>(1u << f.bit);
    EXPECT_EQ(runners::VerdictOf(o), runners::Verdict::Fail) << Name(f);
    EXPECT_EQ(o.postCodes, std::vector<uint8_t>{0x8F}) << Name(f);
    failed += o.halted;
  }
  std::printf("%zu single-bit flips, %zu failed the check\n", flips.size(), failed);
}

TEST(TamperMatrix, ASampleFailsOnTheShippedBinaryToo) {
  const std::vector<Flip> flips = Flips();
  for (size_t i = 0; i < EMULATED_SAMPLES; ++i) {
    const Flip& f = flips[i * flips.size() / EMULATED_SAMPLES];
    runners::Scenario s = Base();
    s.image[vplat::OffsetOf(s.image, f.address)] ^= static_cast<uint8_t>(1u << f.bit);
    const runners::Outcome o = runners::RunEmulated(s, test_support::ShippedModule());
    EXPECT_EQ(runners::VerdictOf(o), runners::Verdict::Fail) << Name(f);
    EXPECT_EQ(o.postCodes, std::vector<uint8_t>{0x8F}) << Name(f);
  }
}

}  // namespace
