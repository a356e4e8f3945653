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
  // Start stopped, with QEMU's gdbstub on this TCP port of 127.0.0.1.
  std::optional<uint16_t> gdbPort;
};

enum class QemuEnd {
  ReachedBoot,  // the boot manager or the UEFI shell wrote to the serial port
  Halted,       // POST code 0x8F, then nothing but the halt loop
  TimedOut,
  Exited,       // QEMU ended by itself
};
const char* QemuEndName(QemuEnd end);  // "reached the boot manager", ...

struct QemuOutcome {
  QemuEnd end = QemuEnd::TimedOut;
  std::vector<uint8_t> postCodes;      // bytes written to port 0x80, in order
  std::vector<PortWrite> pitWrites;    // writes to ports 0x42, 0x43 and 0x61, in order
  std::vector<uint32_t> haltEips;      // EIP samples taken once halted
  std::string bootLine;                // the serial line that showed the boot going on
  std::string serial;                  // all the serial output
  double seconds = 0;                  // from QEMU's start to the verdict
  std::optional<int> exitStatus;       // QEMU's own exit status, when it ended by itself
  std::string qemuErrors;              // what QEMU wrote to stderr
  uint32_t codeSize = 0;               // pflash unit 0
  uint32_t lowerSize = 0;              // pflash unit 1

  bool Wrote8F() const;
};

// Pass: past PEI to the boot manager without POST code 0x8F; Fail: 0x8F and
// the halt loop; NotRun: anything else (timed out, QEMU exited, or 0x8F and
// yet the boot went on).
Verdict VerdictOf(const QemuOutcome& outcome);

// Offset of the firmware's code part in `image`: the start of the run of
// FFS firmware volumes that ends at the image's end. nullopt when the image
// does not end in one.
std::optional<size_t> CodePartOffset(std::span<const uint8_t> image);

// Throws QemuError when QEMU cannot be found or started, or the image holds no code part.
QemuOutcome RunQemu(std::span<const uint8_t> image, const QemuOptions& options);

}  // namespace runners
