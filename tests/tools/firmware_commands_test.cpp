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

class FirmwareCommands : public testing::Test {
 protected:
  void SetUp() override {
    tools_test::WriteBytes(dir_ + "/erased.fd", std::vector<uint8_t>(0x10000, 0xFF));
    ASSERT_EQ(Veriflash("image create " + dir_ + "/plain.bin").status, 0);
  }
  tools_test::ScratchDir dir_;
};

TEST_F(FirmwareCommands, UnusableInputsExitTwoWithOneLineAndWriteNothing) {
  const struct {
    std::string args;
    std::string line;
  } cases[] = {
      {"package " + dir_ + "/erased.fd -o " + dir_ + "/out",
       dir_ + "/erased.fd: not a usable module: not a PE image: no MZ signature"},
      {"firmware add " + dir_ + "/erased.fd -o " + dir_ + "/out --no-module",
       dir_ + "/erased.fd: no PEI volume: no firmware volume here holds a PEI core, directly or in a compressed section"},
      {"firmware add " + dir_ + "/erased.fd -o " + dir_ + "/out --module " + dir_ + "/plain.bin",
       dir_ + "/plain.bin: not a usable module: not a PE image: no MZ signature"},
      {"image create " + dir_ + "/out --firmware " + dir_ + "/none.fd --vars " + dir_ + "/erased.fd",
       dir_ + "/none.fd: no such firmware code part; Debian's ovmf-ia32 package installs "
              "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd and /usr/share/OVMF/OVMF32_VARS_4M.fd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = Veriflash(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.ErrLines(), std::vector<std::string>{"veriflash: " + c.line});
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/out"));
  }
}

TEST_F(FirmwareCommands, QemuRunSaysWhatIsMissing) {
  const std::string image = dir_ + "/plain.bin";
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", "/nonexistent", 1);
  const auto noQemu = Veriflash("run --engine qemu " + image);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(noQemu.status, 2);
  EXPECT_EQ(noQemu.ErrLines(), std::vector<std::string>{"veriflash: " + image + ": cannot boot in QEMU: qemu-system-i386 "
                                                        "not found on PATH: install Debian's qemu-system-x86 package"});
  if (std::system("command -v qemu-system-i386 >/dev/null 2>&1") != 0) GTEST_SKIP() << "qemu-system-i386 is absent";
  const auto noFirmware = Veriflash("run --engine qemu " + image);
  EXPECT_EQ(noFirmware.status, 2);
  EXPECT_EQ(noFirmware.ErrLines(),
            std::vector<std::string>{"veriflash: " + image + ": cannot boot in QEMU: the image does not end in a "
                                     "firmware's code part (firmware volumes up to 4 GiB below other flash); make it "
                                     "with image create --firmware CODE.fd --vars VARS.fd"});
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
