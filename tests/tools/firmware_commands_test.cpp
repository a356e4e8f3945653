// package, firmware add, image create --firmware and run --engine qemu on
// inputs they cannot use: exit status 2, one line naming the file and what
// to do, and nothing written. And the one file package writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "firmware/pe_format.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();
const std::string kCode = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const std::string kVars = "/usr/share/OVMF/OVMF32_VARS_4M.fd";

template <typename T>
T At(const std::vector<uint8_t>& b, size_t at) {
  T value;
  std::memcpy(&value, &b[at], sizeof value);
  return value;
}

template <typename T>
void Put(std::vector<uint8_t>& b, size_t at, T value) {
  std::memcpy(&b[at], &value, sizeof value);
}

// The shipped module claiming SizeOfImage `size`; with `bss` its last
// section's uninitialised data grows to reach it, so the image stays valid.
std::vector<uint8_t> ModuleOfSize(uint32_t size, bool bss) {
  std::vector<uint8_t> b = tools_test::ReadBytes(kModule);
  const size_t coff = At<uint32_t>(b, offsetof(firmware::PeDosHeader, e_lfanew)) + sizeof(uint32_t);
  const size_t opt = coff + sizeof(firmware::CoffFileHeader);
  Put(b, opt + offsetof(firmware::PeOptionalHeader32, SizeOfImage), size);
  if (bss) {
    const auto header = At<firmware::CoffFileHeader>(b, coff);
    const size_t last =
        opt + header.SizeOfOptionalHeader + (header.NumberOfSections - 1u) * sizeof(firmware::PeSectionHeader);
    const auto rva = At<uint32_t>(b, last + offsetof(firmware::PeSectionHeader, VirtualAddress));
    Put(b, last + offsetof(firmware::PeSectionHeader, VirtualSize), size - rva);
  }
  return b;
}
const std::string X64_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd", X64_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd";
// The 2 MiB build: its PEI phase is x86-64 too.
const std::string X64_PEI_CODE = "/usr/share/OVMF/OVMF_CODE.fd";

class FirmwareCommands : public testing::Test {
 protected:
  void SetUp() override {
    tools_test::WriteBytes(dir_ + "/erased.fd", std::vector<uint8_t>(0x10000, 0xFF));
    ASSERT_EQ(Veriflash("image create " + dir_ + "/plain.bin").status, 0);
  }
  tools_test::ScratchDir dir_;
};

// With Debian's OVMF at hand also a code part cut short and stores that are
// not its own, through both commands that take them.
TEST_F(FirmwareCommands, UnusableInputsExitTwoWithOneLineAndWriteNothing) {
  struct Case {
    std::string args;
    std::string line;
  };
  std::vector<Case> cases = {
      {"package " + dir_ + "/erased.fd -o " + dir_ + "/out",
       dir_ + "/erased.fd: not a usable module: not a PE image: no MZ signature"},
      {"firmware add " + dir_ + "/erased.fd -o " + dir_ + "/out --no-module",
       dir_ + "/erased.fd: volume at 0x0: signature 0xFFFFFFFF, expected 0x4856465F (\"_FVH\")"},
      {"image create " + dir_ + "/out --firmware " + dir_ + "/none.fd --vars " + dir_ + "/erased.fd",
       dir_ + "/none.fd: no such firmware code part; Debian's ovmf and ovmf-ia32 packages install them in "
              "/usr/share/OVMF (OVMF_CODE_4M.fd with OVMF_VARS_4M.fd, OVMF32_CODE_4M.secboot.fd with OVMF32_VARS_4M.fd)"},
  };
  if (std::filesystem::exists(kCode) && std::filesystem::exists(kVars)) {
    std::vector<uint8_t> cut = tools_test::ReadBytes(kCode);
    cut.resize(0x348000);
    tools_test::WriteBytes(dir_ + "/cut.fd", cut);
    tools_test::WriteBytes(dir_ + "/small-vars.fd", std::vector<uint8_t>(0x20000, 0xFF));
    tools_test::WriteBytes(dir_ + "/one-byte.fd", {0x5A});
    const std::string out = dir_ + "/out";
    const std::string cutLine = dir_ + "/cut.fd: volume at 0x0: the last file ends at 0x16E766, not at the volume's "
                                "end 0x348000 where the reset vector lies; the code part is cut short";
    const std::string notItsStore = ": not the variable store of this code part: store of ";
    const std::string expected =
        " bytes, expected 0x84000 to fill a flash part of 0x400000 with the code part's 0x37C000";
    cases.push_back({"firmware add " + dir_ + "/cut.fd -o " + out + " --no-module", cutLine});
    cases.push_back(
        {"image create " + out + " --firmware " + dir_ + "/cut.fd --vars " + kVars + " --no-module", cutLine});
    for (const std::string store : {"small-vars.fd", "one-byte.fd"})
      cases.push_back({"image create " + out + " --firmware " + kCode + " --vars " + dir_ + "/" + store,
                       dir_ + "/" + store + notItsStore + (store == "one-byte.fd" ? "0x1" : "0x20000") + expected});
  }
  if (std::filesystem::exists(X64_PEI_CODE) && std::filesystem::exists(X64_CODE)) {
    cases.push_back({"firmware add " + X64_PEI_CODE + " -o " + dir_ + "/out",
                     X64_PEI_CODE + ": volume at 0x0 > file 9e21fd93-9c72-4c15-8c4b-e77f1db2d792 (type 0x0B) at 0x78 > "
                                    "LZMA section > firmware volume section: the PEI phase is not IA-32: the PEI core 52c05b14-0b98-496c-bc3b-04b50211d680 "
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

// One acceptance for every command that takes a module: the same line, exit
// status 2 and nothing written, from a 4 GiB claim refused before anything is
// allocated to a valid module too big for the room above the checked region.
TEST_F(FirmwareCommands, EveryCommandRefusesAModuleWithTheSameReason) {
  const bool ovmf = std::filesystem::exists(kCode) && std::filesystem::exists(kVars);
  const struct {
    const char* file;
    std::vector<uint8_t> bytes;
    std::string reason;
  } modules[] = {
      {"claims-4gib.efi", ModuleOfSize(0xFFFFFFFF, false), "SizeOfImage 0xFFFFFFFF is more than the "},
      {"valid-3mib.efi", ModuleOfSize(0x300000, true),
       "SizeOfImage 0x300000 is more than the 0x2BFFC0 bytes a module has above the checked region"},
  };
  for (const auto& m : modules) {
    const std::string module = dir_ + "/" + m.file, out = dir_ + "/out";
    tools_test::WriteBytes(module, m.bytes);
    std::vector<std::string> commands = {"package " + module + " -o " + out,
                                         "image create " + out + " --module " + module,
                                         "run " + dir_ + "/plain.bin --module " + module};
    if (ovmf) {
      commands.push_back("firmware add " + kCode + " -o " + out + " --module " + module);
      commands.push_back("image create " + out + " --firmware " + kCode + " --vars " + kVars + " --module " + module);
    }
    for (const std::string& command : commands) {
      SCOPED_TRACE(command);
      const auto r = Veriflash(command);
      EXPECT_EQ(r.status, 2);
      ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
      EXPECT_TRUE(r.ErrLines()[0].starts_with("veriflash: " + module + ": not a usable module: " + m.reason)) << r.err;
      EXPECT_FALSE(std::filesystem::exists(out));
    }
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
                                     "firmware's code part: no run of firmware volumes reaches 4 GiB with other flash "
                                     "below it"});
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
