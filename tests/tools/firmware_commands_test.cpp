// package, firmware add, image create --firmware and run --engine qemu on
// inputs they cannot use: exit status 2, one line naming the file and what
// to do, and nothing written. And the one file package writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();
const std::string X64_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd", X64_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd";
// The 2 MiB build: its PEI phase is x86-64 too.
const std::string X64_PEI_CODE = "/usr/share/OVMF/OVMF_CODE.fd";

class FirmwareCommands : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = tools_test::ScratchDir();
    tools_test::WriteBytes(dir_ + "/erased.fd", std::vector<uint8_t>(0x10000, 0xFF));
    ASSERT_EQ(Veriflash("image create " + dir_ + "/plain.bin").status, 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(FirmwareCommands, UnusableInputsExitTwoWithOneLineAndWriteNothing) {
  struct Case {
    std::string args;
    std::string line;
  };
  std::vector<Case> cases = {
      {"package " + dir_ + "/erased.fd -o " + dir_ + "/out",
       dir_ + "/erased.fd: not a usable module: not a PE image: no MZ signature"},
      {"firmware add " + dir_ + "/erased.fd -o " + dir_ + "/out --no-module",
       dir_ + "/erased.fd: no PEI volume: no firmware volume here holds a PEI core, directly or in a compressed section"},
      {"firmware add " + dir_ + "/erased.fd -o " + dir_ + "/out --module " + dir_ + "/plain.bin",
       dir_ + "/plain.bin: not a usable module: not a PE image: no MZ signature"},
      {"image create " + dir_ + "/out --firmware " + dir_ + "/none.fd --vars " + dir_ + "/erased.fd",
       dir_ + "/none.fd: no such firmware code part; Debian's ovmf and ovmf-ia32 packages install them in "
              "/usr/share/OVMF (OVMF_CODE_4M.fd with OVMF_VARS_4M.fd, OVMF32_CODE_4M.secboot.fd with OVMF32_VARS_4M.fd)"},
  };
  if (std::filesystem::exists(X64_PEI_CODE) && std::filesystem::exists(X64_CODE)) {
    cases.push_back({"firmware add " + X64_PEI_CODE + " -o " + dir_ + "/out",
                     X64_PEI_CODE + ": the PEI phase is not IA-32: the PEI core 52c05b14-0b98-496c-bc3b-04b50211d680 "
                                    "is x86-64, and the module is an IA-32 PEIM that runs only in an IA-32 PEI phase"});
    cases.push_back({"image create " + dir_ + "/out --size 16MiB --no-module --firmware " + X64_CODE + " --vars " + X64_VARS,
                     "--size 16 MiB: an image that boots in firmware is at most 8 MiB, all QEMU maps as pflash"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = Veriflash(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.ErrLines(), std::vector<std::string>{"veriflash: " + c.line});
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/out"));
  }
}

TEST_F(FirmwareCommands, QemuRunSaysWhatIsMissing) {
  // An image without a code part is refused before any QEMU is looked for;
  // one with Debian's x64 OVMF asks for qemu-system-x86_64 by name.
  const std::string plain = dir_ + "/plain.bin", x64 = dir_ + "/x64.bin";
  const bool ovmf = std::filesystem::exists(X64_CODE);
  if (ovmf)
    ASSERT_EQ(Veriflash("image create " + x64 + " --firmware " + X64_CODE + " --vars " + X64_VARS + " --no-module").status, 0);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", "/nonexistent", 1);
  const auto noFirmware = Veriflash("run --engine qemu " + plain);
  const auto noQemu = Veriflash("run --engine qemu " + x64);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(noFirmware.status, 2);
  EXPECT_EQ(noFirmware.ErrLines(),
            std::vector<std::string>{"veriflash: " + plain + ": cannot boot in QEMU: the image does not end in a "
                                     "firmware's code part (firmware volumes up to 4 GiB below other flash); make it "
                                     "with image create --firmware CODE.fd --vars VARS.fd"});
  if (!ovmf) GTEST_SKIP() << X64_CODE << " is absent: install Debian's ovmf";
  EXPECT_EQ(noQemu.status, 2);
  EXPECT_EQ(noQemu.ErrLines(), std::vector<std::string>{"veriflash: " + x64 + ": cannot boot in QEMU: qemu-system-x86_64 "
                                                        "not found on PATH: install Debian's qemu-system-x86 package"});
}

TEST_F(FirmwareCommands, PackageWritesTheFileUnderTheGuidGiven) {
  const auto r = Veriflash("package " + kModule + " -o " + dir_ + "/m.ffs --json --guid 00112233-4455-6677-8899-AABBCCDDEEFF");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.Json()["guid"], "00112233-4455-6677-8899-aabbccddeeff");
  const auto bytes = tools_test::ReadBytes(dir_ + "/m.ffs");
  EXPECT_EQ(r.Json()["size"], bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16),
            (std::vector<uint8_t>{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
                                  0xEE, 0xFF}));
  EXPECT_EQ(Veriflash("package " + kModule + " -o " + dir_ + "/n.ffs --guid 00112233").status, 2);
}

}  // namespace
