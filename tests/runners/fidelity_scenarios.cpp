#include "tests/runners/fidelity_scenarios.h"

#include "vplat/flash_image.h"

namespace test_support {
namespace {

using vplat::PeiService;
using runners::Scenario;
using vplat::TraceHubMode;

// A passing image, the trace hub present, no TSC frequency HOB yet.
Scenario Base() {
  Scenario s;
  s.image = vplat::BuildFlashImage({});
  return s;
}

// Only the entry runs: cases about the TSC step need no region hash.
Scenario EntryOnly() {
  Scenario s;
  // The entry reads no flash: erased flash with room for the module.
  s.image.assign(0x100000000ull - vplat::DEFAULT_MODULE_ADDRESS, 0xFF);
  s.signalEndOfPei = false;
  return s;
}

// A failure that does not hash, so the trace hub cases stay quick.
Scenario PoolFailure(TraceHubMode hub) {
  Scenario s = Base();
  s.traceHub = hub;
  s.failures[PeiService::AllocatePool] = EFI_OUT_OF_RESOURCES;
  return s;
}

Scenario WithImage(const vplat::FlashImageOptions& options) {
  Scenario s = Base();
  s.image = vplat::BuildFlashImage(options);
  return s;
}

template <typename Change>
FidelityCase Case(std::string name, Scenario (*base)(), Change change, std::vector<vplat::Access> emulatedOnly = {}) {
  return {std::move(name),
          [base, change] {
            Scenario s = base();
            change(s);
            return s;
          },
          std::move(emulatedOnly)};
}

}  // namespace

const std::vector<FidelityCase>& FidelityScenarios() {
  static const std::vector<FidelityCase> cases = {
      Case("pass", Base, [](Scenario&) {}),
      Case("pass, TSC HOB present", Base, [](Scenario& s) { s.tscHobPresent = true; }),
      Case("pass, interrupts off", Base, [](Scenario& s) { s.interruptsEnabled = false; }),
      Case("pool allocation fails", Base, [](Scenario& s) { s = PoolFailure(TraceHubMode::Present); }),
      Case("no FIT signature", Base, [](Scenario& s) { vplat::Store(s.image, vplat::DEFAULT_FIT_ADDRESS, "_FIT_\0\0\0", 8); }),
      // The signature compare stops at the first byte, 0xFF from the open bus.
      Case("FIT pointer into nowhere", Base, [](Scenario& s) { vplat::Store32(s.image, vplat::FIT_POINTER, 0x12345678); },
           {{vplat::AccessKind::OpenBusRead, 0x12345678, 1, 0xFF}}),
      Case("bad FIT checksum", Base,
           [](Scenario& s) { s.image[vplat::OffsetOf(s.image, vplat::DEFAULT_FIT_ADDRESS) + 15] ^= 1; }),
      Case("no manifest entry", Base, [](Scenario& s) {
        vplat::FlashImageOptions o;
        o.entries = {{0x01, 0xFFE00000u, 0}};
        s = WithImage(o);
      }),
      Case("wrong manifest signature", Base,
           [](Scenario& s) { vplat::Store(s.image, vplat::DEFAULT_MANIFEST_ADDRESS, "__ACBQ__", 8); }),
      Case("digest mismatch", Base, [](Scenario& s) {
        vplat::FlashImageOptions o;
        o.digest = vplat::ReferenceDigest::Wrong;
        s = WithImage(o);
      }),
      Case("region tampered", Base,
           [](Scenario& s) { s.image[vplat::OffsetOf(s.image, vplat::REGION_BASE + 0x1234)] ^= 0x80; }),
      Case("NotifyPpi fails", Base, [](Scenario& s) { s.failures[PeiService::NotifyPpi] = EFI_OUT_OF_RESOURCES; }),
      Case("trace hub disabled", Base, [](Scenario& s) { s = PoolFailure(TraceHubMode::Disabled); }),
      Case("trace hub aperture dead", Base, [](Scenario& s) { s = PoolFailure(TraceHubMode::ApertureDead); }),
      Case("trace hub absent", Base, [](Scenario& s) { s = PoolFailure(TraceHubMode::Absent); }),
      Case("TSC HOB present, entry only", EntryOnly, [](Scenario& s) { s.tscHobPresent = true; }),
      Case("CreateHob fails", EntryOnly, [](Scenario& s) { s.failures[PeiService::CreateHob] = EFI_OUT_OF_RESOURCES; }),
      Case("GetHobList fails", EntryOnly, [](Scenario& s) { s.failures[PeiService::GetHobList] = 0x80000012u; }),
      Case("NULL file handle", EntryOnly, [](Scenario& s) { s.fileHandle = false; }),
      Case("interrupts off, entry only", EntryOnly, [](Scenario& s) { s.interruptsEnabled = false; }),
      Case("counter 2 in mode 0", EntryOnly, [](Scenario& s) { s.pitCounter2Status = 0x30; }),
      Case("counter 2 stuck", EntryOnly, [](Scenario& s) { s.pitCounter2Stuck = true; }),
      Case("counter 2 stuck, interrupts off", EntryOnly, [](Scenario& s) {
        s.pitCounter2Stuck = true;
        s.interruptsEnabled = false;
      }),
      Case("TSC at 1 GHz", EntryOnly, [](Scenario& s) { s.tscHz = 1'000'000'000; }),
  };
  return cases;
}

}  // namespace test_support
