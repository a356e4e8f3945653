// One platform kept across runs: after a restart, a run on changed flash bytes
// gives the outcome that a fresh platform gives for the changed image.
#include "runners/run_native.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "vplat/flash_image.h"

namespace {

struct Change {
  const char* name;
  void (*apply)(std::vector<uint8_t>& image);
};

// In this order on one platform: each run leaves a different state behind
// (a pool block, a registration, a halt, POST codes, trace writes).
const Change kChanges[] = {
    {"as built", [](std::vector<uint8_t>&) {}},
    {"a region byte flipped", [](std::vector<uint8_t>& i) { i[vplat::OffsetOf(i, vplat::REGION_BASE + 0x100)] ^= 1; }},
    {"as built again", [](std::vector<uint8_t>&) {}},
    {"FIT pointer erased", [](std::vector<uint8_t>& i) { vplat::Store32(i, vplat::FIT_POINTER, 0xFFFFFFFFu); }},
    {"manifest signature broken", [](std::vector<uint8_t>& i) {
       i[vplat::OffsetOf(i, vplat::DEFAULT_MANIFEST_ADDRESS)] = 'X';
     }},
};

TEST(RunNativeOn, ARestartedPlatformRunsLikeAFreshOne) {
  runners::Scenario base;
  base.image = vplat::BuildFlashImage({});
  base.tscHobPresent = true;  // a measurement would see the time the runs before took
  vplat::Platform platform;
  runners::Configure(platform, base);
  for (const Change& c : kChanges) {
    SCOPED_TRACE(c.name);
    runners::Scenario changed = base;
    c.apply(changed.image);
    std::copy(changed.image.begin(), changed.image.end(), platform.memory.MutableFlash().begin());
    platform.Restart();
    runners::ArmRun(platform, base);

    const runners::Outcome kept = runners::RunNativeOn(platform, base);
    const runners::Outcome fresh = runners::RunNative(changed);
    EXPECT_EQ(runners::VerdictOf(kept), runners::VerdictOf(fresh));
    EXPECT_EQ(kept.log, fresh.log) << vplat::DescribeDifference(fresh.log, kept.log);
    EXPECT_EQ(kept.postCodes, fresh.postCodes);
    ASSERT_EQ(kept.hobs.size(), fresh.hobs.size());
    for (size_t i = 0; i < kept.hobs.size(); ++i) EXPECT_EQ(kept.hobs[i].bytes, fresh.hobs[i].bytes);
    EXPECT_EQ(kept.notificationsRun, fresh.notificationsRun);
  }
}

}  // namespace
