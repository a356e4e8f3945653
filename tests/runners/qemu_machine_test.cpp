// The QEMU and machine arguments each Debian OVMF build gets, from its code
// part: the DXE core's machine picks the program, MM files bring SMM and
// secure pflash; a code part without a DXE core is refused with one line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "runners/qemu_machine.h"
#include "runners/run_qemu.h"
#include "tests/support/error_message.h"

namespace {

using Args = std::vector<std::string>;

std::vector<uint8_t> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(QemuMachine, EachOvmfBuildGetsItsProgramAndOnlyTheSmmItNeeds) {
  const Args smm = {"-machine", "q35,smm=on,accel=tcg", "-m", "256",
                    "-global", "driver=cfi.pflash01,property=secure,value=on"};
  const Args plain = {"-machine", "q35,smm=off,accel=tcg", "-m", "256"};
  const struct {
    const char* file;
    const char* program;
    Args args;
  } cases[] = {
      {"OVMF32_CODE_4M.secboot.fd", "qemu-system-i386", smm},
      {"OVMF_CODE_4M.fd", "qemu-system-x86_64", plain},
      {"OVMF_CODE_4M.secboot.fd", "qemu-system-x86_64", smm},
      {"OVMF_CODE_4M.ms.fd", "qemu-system-x86_64", smm},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = std::string("/usr/share/OVMF/") + c.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent: install Debian's ovmf and ovmf-ia32";
    const runners::QemuMachine machine = runners::QemuMachineFor(Read(path));
    EXPECT_EQ(machine.program, c.program);
    EXPECT_EQ(runners::QemuMachineArgs(machine), c.args);
  }
}

TEST(QemuMachine, ACodePartWithoutDxeCoreIsRefused) {
  // The last 0x34000 bytes of the 4 MiB builds: the reset volume (SECFV) alone.
  const std::string path = "/usr/share/OVMF/OVMF_CODE_4M.fd";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent: install Debian's ovmf";
  const std::vector<uint8_t> code = Read(path);
  EXPECT_EQ(test_support::ErrorMessage<runners::QemuError>(
                [&] { (void)runners::QemuMachineFor(std::span(code).last(0x34000)); }),
            "the firmware's code part holds no DXE core with a PE image: cannot tell which QEMU boots it");
}

}  // namespace
