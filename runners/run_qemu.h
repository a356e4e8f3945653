// Boots a flash image in real firmware, in the QEMU and machine that the
// firmware's code part asks for (qemu_machine.h), with that code part as
// pflash unit 0 at the top and
// everything below it as unit 1, from a fresh temporary copy, so the
// variable store the firmware writes never carries over between boots.
// QEMU's port writes (-trace memory_region_ops_write) show the module's PIT
// accesses and its POST code; the serial port shows how far the firmware
// got. The run ends as soon as the verdict is known, and QEMU is stopped on
// every path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "runners/module_watch.h"
#include "runners/qemu_machine.h"
#include "runners/qemu_trace.h"
#include "runners/verdict.h"

namespace runners {

// QEMU or the image cannot be used; one line, naming what is missing.
class QemuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct QemuOptions {
  std::optional<QemuMachine> machine;  // nullopt: QemuMachineFor the image's code part
  double timeoutSeconds = 60;
  // After POST code 0x8F, this long without a port write or serial output
  // counts as the halt loop.
  double settleSeconds = 1.0;
  // The image's modules, as they lie in its firmware: the boot passes only
  // with evidence that each ran its entry and its end-of-PEI check.
  std::vector<WatchedModule> modules;
  // Start stopped, with QEMU's gdbstub on this TCP port of 127.0.0.1 for a
  // debugger of one's own; the modules are not watched then.
  std::optional<uint16_t> gdbPort;
};

enum class QemuEnd {
  ReachedBoot,  // the boot manager or the UEFI shell wrote to the serial port
  Halted,       // POST code 0x8F, then nothing but the halt loop
  TimedOut,
  Exited,       // QEMU ended by itself
  Flooded,      // more port writes than any boot makes: the firmware is stuck in a loop
  Faulted,      // a module took a processor exception
};
const char* QemuEndName(QemuEnd end);  // "reached the boot manager", ...

struct PostCodeRun {
  uint8_t code = 0;
  uint64_t times = 0;
};

// Port writes kept in an outcome, of each kind; the rest are only counted.
inline constexpr size_t KEPT_PORT_WRITES = 4096;
// A boot that writes to ports this often never gets anywhere.
inline constexpr uint64_t MAX_PORT_WRITES = 100'000;

struct QemuOutcome {
  QemuEnd end = QemuEnd::TimedOut;
  // Bytes written to port 0x80, in order, equal neighbours as one run: a
  // module that loops on the port makes one run, not millions of entries.
  std::vector<PostCodeRun> postCodes;
  std::vector<PortWrite> pitWrites;    // writes to ports 0x42, 0x43 and 0x61, in order (the first KEPT_PORT_WRITES)
  uint64_t postCodeCount = 0;          // all of them
  uint64_t pitWriteCount = 0;
  uint64_t portWriteCount = 0;         // to any port
  std::vector<ModuleEvidence> modules;  // one per module watched
  std::string watchProblem;            // why the modules could not be watched
  std::vector<uint32_t> haltEips;      // EIP samples taken once halted
  std::string bootLine;                // the serial line that showed the boot going on
  std::string serial;                  // all the serial output
  double seconds = 0;                  // from QEMU's start to the verdict
  // QEMU's own exit status: 128 + 9 when the run stopped it at the verdict.
  std::optional<int> exitStatus;
  std::string qemuErrors;              // what QEMU wrote to stderr
  uint32_t codeSize = 0;               // pflash unit 0
  uint32_t lowerSize = 0;              // pflash unit 1

  bool Wrote8F() const;
};

// Pass: past PEI to the boot manager without POST code 0x8F, with evidence
// that every module ran its entry and its end-of-PEI check returned
// EFI_SUCCESS. Fail: 0x8F and the halt loop; the boot manager reached without
// that evidence; a flood of port writes. NotRun: anything else (timed out,
// QEMU exited, 0x8F and yet the boot went on, the watch itself failed).
Verdict VerdictOf(const QemuOutcome& outcome);
// Why the verdict is Fail or NotRun, in one clause; empty for Pass.
std::string ReasonOf(const QemuOutcome& outcome);

// Offset of the firmware's code part in `image`: the start of the run of
// FFS firmware volumes that ends at the image's end. nullopt when the image
// does not end in one.
std::optional<size_t> CodePartOffset(std::span<const uint8_t> image);

// Throws QemuError when QEMU cannot be found or started, or the image holds no code part.
QemuOutcome RunQemu(std::span<const uint8_t> image, const QemuOptions& options);

}  // namespace runners
