// A scenario: everything that decides what the module will see on one run
// (flash image, devices, HOBs, service failures, time), and the outcome that
// a run produces. Every runner takes a scenario and gives an outcome, so the
// host build and the emulated binary run the same scenarios and must produce
// identical outcomes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "module/types/efi_types.h"
#include "runners/verdict.h"
#include "vplat/access_log.h"
#include "vplat/devices/trace_hub.h"
#include "vplat/pei_core.h"
#include "vplat/platform.h"

namespace runners {

struct Scenario {
  std::string name;
  std::vector<uint8_t> image;  // ends at 4 GiB
  bool fileHandle = true;      // ModuleEntry's FileHandle non-NULL
  bool signalEndOfPei = true;
  vplat::TraceHubMode traceHub = vplat::TraceHubMode::Present;
  bool tscHobPresent = false;  // a TSC frequency HOB already in the list
  std::map<vplat::PeiService, EFI_STATUS> failures;
  uint64_t tscHz = 2'400'000'000;
  bool interruptsEnabled = true;
  uint8_t pitCounter2Status = 0x36;  // counter 2's status before the module runs
  bool pitCounter2Stuck = false;     // a broken counter 2: its output never rises
};

struct Outcome {
  std::optional<EFI_STATUS> entryStatus;  // when ModuleEntry returned
  size_t notificationsRun = 0;  // End-of-PEI notifications the signal started
  // The last notification's status, only when it returned.
  std::optional<EFI_STATUS> endOfPeiStatus;
  bool halted = false;   // the processor stays in the module for ever
  bool stopped = false;  // the module faulted or overran a bound of the run
  std::string endDetail;  // how it halted or why it was stopped, where the engine knows
  std::vector<uint8_t> postCodes;
  std::vector<vplat::Access> log;
  std::vector<vplat::Hob> hobs;
  bool interruptsEnabled = true;

  uint64_t DroppedWrites() const { return vplat::DroppedWrites(log); }
};

// Fail when the module halted or was stopped, Pass when its notification
// returned, else NotRun.
Verdict VerdictOf(const Outcome& outcome);

// Maps the image and devices, then arms the run (ArmRun).
void Configure(vplat::Platform& platform, const Scenario& scenario);

// Sets what a run starts from besides the image and devices: the TSC rate,
// the interrupt flag, the HOB list's preset HOB and the service failures. A
// platform restarted after a run (vplat::Platform::Restart) needs this again.
void ArmRun(vplat::Platform& platform, const Scenario& scenario);

// Collects the outcome after a run.
Outcome Collect(const vplat::Platform& platform, std::optional<EFI_STATUS> entryStatus,
                std::optional<EFI_STATUS> endOfPei);

}  // namespace runners
