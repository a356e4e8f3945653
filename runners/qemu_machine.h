// Which QEMU boots a firmware, and with what machine: read from the
// firmware's code part, never from its file name. The DXE core's machine
// picks the program (an IA-32 DXE phase boots in qemu-system-i386, an x86-64
// one, as in most PC firmware with its 32-bit PEI phase, in
// qemu-system-x86_64, which starts in the same 32-bit mode). A firmware that
// holds MM (SMM) files gets SMM and pflash that only SMM code may write,
// which its variable driver expects; one without them gets neither.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace runners {

// The guest's memory, all of it below 4 GiB.
inline constexpr uint32_t QEMU_RAM_MIB = 256;

struct QemuMachine {
  std::string program;  // set by QemuMachineFor, read by RunQemu and the reports
  bool smm = false;     // q35 with SMM and secure pflash
  uint32_t mmFiles = 0;  // what decided smm, for the reports
};

// Throws QemuError when the code part cannot be read, holds no DXE core, or
// one for a machine no QEMU here boots.
QemuMachine QemuMachineFor(std::span<const uint8_t> code);

// QEMU's arguments for the machine itself: board, accelerator, memory, SMM
// and the pflash units' secure property.
std::vector<std::string> QemuMachineArgs(const QemuMachine& machine);

}  // namespace runners
