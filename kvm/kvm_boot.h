// Runs the shipped module in QEMU on a boot stub of its own: a flash image
// with the module, its FIT and manifest and the stub of kvm/stub/, booted by
// qemu-system-i386, and the stub's serial report read back. Under KVM the
// host's own processor runs it, with its features: where it has the SHA
// extensions, this is where the module's SHA path runs for real. Under TCG
// (QEMU's own CPU model, without them) it shows the stub and the verdicts
// on any machine.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kvm/stub/stub_abi.h"
#include "module/types/efi_types.h"

namespace kvm {

// A boot that could not be set up or did not end as the stub ends it; one line.
class KvmError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Accelerator { Kvm, Tcg };

// Why QEMU cannot boot the stub with `accelerator` here (no QEMU; for KVM
// also no /dev/kvm, no access to it, or no hardware virtualization behind
// it), or nullopt when it can.
std::optional<std::string> Unavailable(Accelerator accelerator);

struct StubPieces {
  std::vector<uint8_t> code;   // for kvm_stub::CODE_ADDRESS
  std::vector<uint8_t> reset;  // for kvm_stub::RESET_VECTOR
};

// Reads the two pieces that the build links. Throws KvmError.
StubPieces ReadStub(const std::string& codePath, const std::string& resetPath);

// `flash` (a flash image that ends at 4 GiB, with FIT and manifest) with the
// module placed at vplat's default module address, the stub at the top, and
// parameters asking for one End-of-PEI call per entry of `checks`, with the
// watchdog that `accelerator` needs. Throws KvmError for too many checks and
// firmware::PeError for an unusable module.
std::vector<uint8_t> BuildBootImage(std::vector<uint8_t> flash, const std::vector<uint8_t>& efi,
                                    const StubPieces& stub, const std::vector<kvm_stub::CheckMode>& checks,
                                    Accelerator accelerator);

struct CheckResult {
  kvm_stub::CheckMode mode = kvm_stub::CheckMode::AsIs;
  std::optional<EFI_STATUS> status;  // nullopt: the check halted
  uint64_t tscTicks = 0;             // RDTSC around the call, when it returned
  bool xmmUsed = false;              // the check changed an XMM register
};

struct BootReport {
  EFI_STATUS entryStatus = 0;
  std::vector<CheckResult> checks;  // in order; a halted check is the last
  std::string serial;               // the stub's whole report
};

// Boots `image` and parses the report. Throws KvmError when QEMU fails, the
// stub reports a fault, or the report is incomplete.
BootReport Boot(const std::vector<uint8_t>& image, Accelerator accelerator);

}  // namespace kvm
