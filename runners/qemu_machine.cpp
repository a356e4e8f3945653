#include "runners/qemu_machine.h"

#include "firmware/firmware_error.h"
#include "firmware/firmware_phases.h"
#include "firmware/image_machine.h"
#include "firmware/pe_format.h"
#include "runners/run_qemu.h"

namespace runners {

QemuMachine QemuMachineFor(std::span<const uint8_t> code) {
  firmware::FirmwarePhases phases;
  try {
    phases = firmware::ReadFirmwarePhases(code);
  } catch (const firmware::FirmwareError& e) {
    throw QemuError(std::string("cannot tell which QEMU boots the firmware: ") + e.what());
  }
  if (!phases.dxeCoreMachine)
    throw QemuError("the firmware's code part holds no DXE core with a PE image: cannot tell which QEMU boots it");
  QemuMachine machine;
  machine.smm = phases.NeedsSmm();
  machine.mmFiles = phases.mmFiles;
  switch (*phases.dxeCoreMachine) {
    case firmware::PE_MACHINE_I386: machine.program = "qemu-system-i386"; break;
    case firmware::PE_MACHINE_X64: machine.program = "qemu-system-x86_64"; break;
    default:
      throw QemuError("the firmware's DXE core is for " + firmware::MachineName(*phases.dxeCoreMachine) +
                      ": neither qemu-system-i386 nor qemu-system-x86_64 boots it");
  }
  return machine;
}

std::vector<std::string> QemuMachineArgs(const QemuMachine& machine) {
  // TCG: KVM here offers no SMM, and TCG boots every build the same way.
  std::vector<std::string> args = {"-machine", std::string("q35,smm=") + (machine.smm ? "on" : "off") + ",accel=tcg",
                                   "-m", std::to_string(QEMU_RAM_MIB)};
  if (machine.smm) args.insert(args.end(), {"-global", "driver=cfi.pflash01,property=secure,value=on"});
  return args;
}

}  // namespace runners
