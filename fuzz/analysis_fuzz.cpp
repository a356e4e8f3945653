// The image analysis behind `inspect` against the module itself, the host
// build as runners::RunNativeOn runs it: on every input both reach the same
// verdict, and the analysis's last step is the one where the module's own
// lookup stops, with the same status. So `inspect` never passes an image the
// module fails, and never fails one it passes.
//
// The checked region, and so its digest, is the same for every input: the
// smallest image that holds it, with the default FIT and manifest at
// 0xFFFE0000 and 0xFFFD0000, below the window but where a fuzzed pointer may
// still lead. Input: the FIT pointer (4 bytes), then the top 4 KiB of the
// flash from 0xFFFFF000 on; more would only make the tables that both sides
// sum byte by byte longer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/flash_rig.h"
#include "fuzz/target_support.h"
#include "module/crypto/sha256.h"
#include "module/fit/fit.h"
#include "runners/run_native.h"
#include "tools/veriflash/flash_analysis.h"
#include "vplat/flash_image.h"

// Hashing the 2.8 MiB region would cost a thousand times what an input
// changes, and the region never changes. The module's call of Sha256Absorb is
// linked to this wrapper (-Wl,--wrap): the first call with a given context,
// data and length absorbs for real; a call with the same three later gets the
// resulting context back. The rig never writes below 0xFFFFF000, so the data
// at a pointer into the region stays the same.
extern "C" BOOLEAN __real__Z12Sha256AbsorbPvPKvj(void* context, const void* data, uint32_t length);
extern "C" BOOLEAN __wrap__Z12Sha256AbsorbPvPKvj(void* context, const void* data, uint32_t length) {
  static const void* lastData = nullptr;
  static uint32_t lastLength = 0;
  static std::vector<uint8_t> before, after;
  const uint32_t size = Sha256ContextSize();
  if (lastData != nullptr && data == lastData && length == lastLength && context != nullptr &&
      std::memcmp(context, before.data(), size) == 0) {
    std::memcpy(context, after.data(), size);
    return 1;
  }
  if (context != nullptr) before.assign(static_cast<uint8_t*>(context), static_cast<uint8_t*>(context) + size);
  const BOOLEAN absorbed = __real__Z12Sha256AbsorbPvPKvj(context, data, length);
  if (context != nullptr && absorbed) {
    after.assign(static_cast<uint8_t*>(context), static_cast<uint8_t*>(context) + size);
    lastData = data;
    lastLength = length;
  }
  return absorbed;
}

namespace {

using fuzz::Require;
using veriflash::CheckStep;

constexpr uint32_t WINDOW_BASE = 0xFFFFF000u;

struct Rig {
  fuzz::FlashRig flash;
  common::Digest regionDigest;
};

Rig& TheRig() {
  static Rig rig = [] {
    runners::Scenario s;
    vplat::FlashImageOptions options;
    options.size = static_cast<uint32_t>(0x100000000ull - vplat::REGION_BASE);
    s.image = vplat::BuildFlashImage(options);
    s.tscHobPresent = true;  // no TSC measurement: it reads no flash
    const common::Digest digest = vplat::RegionDigest(s.image);
    return Rig{fuzz::FlashRig(std::move(s)), digest};
  }();
  return rig;
}

struct Stop {
  CheckStep step;
  EFI_STATUS status;
};

// Where the module's lookup stops and why; past the lookup, the digest step,
// which fails exactly when the module halted.
Stop ModuleStop(bool halted) {
  PhysAddr header = NULL_PHYS, entry = NULL_PHYS, manifest = NULL_PHYS;
  EFI_STATUS status = LocateFitHeader(&header);
  if (EfiError(status)) return {status == EFI_CRC_ERROR ? CheckStep::FitChecksum : CheckStep::FitHeader, status};
  if (EfiError(status = FindManifestEntry(&entry))) return {CheckStep::ManifestEntry, status};
  if (EfiError(status = LocateBootPolicyManifest(&manifest))) return {CheckStep::ManifestSignature, status};
  return {CheckStep::Digest, halted ? EFI_SECURITY_VIOLATION : EFI_SUCCESS};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Rig& rig = TheRig();
  rig.flash.Begin();
  rig.flash.Store(WINDOW_BASE, {data + 4, size - 4});
  rig.flash.Store(FIT_POINTER_ADDRESS, {data, 4});

  const runners::Outcome outcome = runners::RunNativeOn(rig.flash.Platform(), rig.flash.Scenario());
  Require(runners::VerdictOf(outcome) != runners::Verdict::NotRun);
  Stop module;
  {
    vplat::ScopedPlatform scope(rig.flash.Platform());
    module = ModuleStop(outcome.halted);
  }
  const veriflash::Analysis analysis =
      veriflash::AnalyzeImage(rig.flash.Flash(), firmware::BiosRegionLayout(rig.flash.Flash().size()), rig.regionDigest);

  // inspect never passes an image the module fails, nor fails one it passes
  Require(analysis.Passes() == !outcome.halted);
  // and the step it names is where the module stopped, for the same reason
  Require(!analysis.steps.empty() && analysis.steps.back().step == module.step &&
          analysis.steps.back().status == module.status);
  return 0;
}
