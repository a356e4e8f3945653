// The module in Debian's OVMF builds, dispatched by their PEI cores: the
// IA-32 build on qemu-system-i386, and two x64 builds (32-bit PEI, 64-bit
// DXE) on qemu-system-x86_64, one without SMM and one with SMM and secure
// boot. The IA-32 firmware rebuilt without the module still boots; in every
// build, with the module, a correct image boots past the TSC measurement to
// the boot manager with the module's entry and check seen to return, and a
// tampered one writes POST code 0x8F and stays in the module's halt loop,
// for both placements (after memory, and before memory in place). Firmware
// without the module boots, which fails the check since nothing ran it; a
// module that faults at its entry is seen to; a damaged code part is refused
// before QEMU starts.
#include <gtest/gtest.h>

#include <fstream>

#include "firmware/pi_format.h"
#include "qemu_rig.h"
#include "tests/tools/tool_runner.h"

namespace {

using nlohmann::json;

struct Boot {
  int status;
  json run;
};

Boot BootImage(const std::string& name) {
  // The tool bounds the boot itself; ctest's TIMEOUT bounds the program.
  const auto r = tools_test::Veriflash("run --engine qemu --json --timeout 120 " + qemu_rig::Images() + "/" + name);
  EXPECT_TRUE(r.err.empty()) << r.err;
  return {r.status, r.out.empty() ? json() : r.Json()};
}

// The measurement's writes in order: read-back command, port B with the gate
// on and the speaker off, mode 0 with its count 1193 (0x04A9), counter 2's
// old mode back, port B back.
void ExpectTscMeasurement(const json& pit) {
  ASSERT_EQ(pit.size(), 7u) << pit.dump();
  const std::vector<std::string> ports = {"0x43", "0x61", "0x43", "0x42", "0x42", "0x43", "0x61"};
  for (size_t i = 0; i < ports.size(); ++i) EXPECT_EQ(pit[i]["port"], ports[i]) << i;
  EXPECT_EQ(pit[0]["value"], "0xE8");
  EXPECT_EQ(pit[2]["value"], "0xB0");
  EXPECT_EQ(pit[3]["value"], "0xA9");
  EXPECT_EQ(pit[4]["value"], "0x04");
  const auto byte = [&](size_t i) { return std::stoul(pit[i]["value"].get<std::string>(), nullptr, 16); };
  EXPECT_EQ(byte(5) & 0xC0, 0x80u) << "counter 2's control word";
  EXPECT_EQ(byte(1), (byte(6) & 0xFD) | 0x01) << "port B: gate on and speaker off, then restored";
}

class QemuBoot : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = qemu_rig::WhyNot(); !why.empty()) GTEST_SKIP() << why;
  }
};

// One firmware build: the prefix of its images' names (make_images.sh).
class QemuBuild : public QemuBoot, public testing::WithParamInterface<const char*> {
 protected:
  std::string Image(const std::string& name) const { return GetParam() + name + ".bin"; }
};

TEST_F(QemuBoot, FirmwareRebuiltWithoutTheModuleBootsButFailsTheCheck) {
  const Boot b = BootImage("rt.bin");
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(b.run["verdict"], "fail");
  EXPECT_EQ(b.run["end"], "reached the boot manager");
  EXPECT_EQ(b.run["reason"], "the module never ran: the board booted without the check");
  EXPECT_EQ(b.run["modules"], json::array());
  EXPECT_EQ(b.run["postCodes"]["total"], 0);
  EXPECT_EQ(b.run["pitWrites"], json::array()) << "OVMF itself never writes ports 0x42, 0x43 or 0x61";
}

TEST_F(QemuBoot, DamagedCodePartIsRefusedNamingTheVolumeBeforeQemuStarts) {
  std::string image = qemu_rig::Slurp(qemu_rig::Images() + "/pass_post.bin");
  // The code part starts 0x484000 bytes in (region and store below it); its
  // second volume, SECFV, follows FVMAIN_COMPACT's 0x348000 bytes. Break
  // SECFV's header checksum.
  const size_t secfv = 0x484000 + 0x348000;
  image[secfv + offsetof(firmware::FirmwareVolumeHeader, Checksum)] ^= 1;
  const tools_test::ScratchDir dir;
  const std::string path = dir + "/damaged.bin";
  std::ofstream(path, std::ios::binary) << image;
  const auto r = tools_test::Veriflash("run --engine qemu " + path);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("its firmware code part at 0x484000 would not boot: volume at 0x348000: header checksum"),
            std::string::npos)
      << r.err;
}

TEST_F(QemuBoot, ModuleThatFaultsAtItsEntryFailsWithTheException) {
  const Boot b = BootImage("ud2.bin");
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(b.run["verdict"], "fail");
  ASSERT_EQ(b.run["modules"].size(), 1u) << b.run.dump();
  const json& m = b.run["modules"][0];
  EXPECT_EQ(m["entryStatus"], nullptr);
  EXPECT_EQ(b.run["reason"], "the module took exception 6 (#UD, invalid opcode) at " + m["entryAddress"].get<std::string>());
}

TEST_F(QemuBoot, ModuleLoopingOnPort80EndsAtTheBoundWithAShortReport) {
  const Boot b = BootImage("loop.bin");
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(b.run["reason"], "more than 100000 port writes without reaching the boot manager: the firmware is stuck "
                             "in a loop");
  const json& codes = b.run["postCodes"];
  ASSERT_EQ(codes["runs"].size(), 1u) << codes.dump();
  EXPECT_EQ(codes["runs"][0]["value"], "0x55");
  EXPECT_EQ(codes["runs"][0]["times"], codes["total"]);
  EXPECT_GT(codes["total"].get<uint64_t>(), 50'000u) << "nearly every port write is the loop's";
}

TEST_P(QemuBuild, CorrectImageReachesTheBootManagerAfterTheTscMeasurement) {
  for (const char* placement : {"post", "pre"}) {
    SCOPED_TRACE(placement);
    const Boot b = BootImage(Image(std::string("pass_") + placement));
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.run["verdict"], "pass");
    EXPECT_EQ(b.run["postCodes"]["total"], 0);
    EXPECT_TRUE(b.run["bootLine"].get<std::string>().starts_with("BdsDxe: ")) << b.run["bootLine"];
    ExpectTscMeasurement(b.run["pitWrites"]);
    // The evidence: entry and check at the addresses the linker map gives,
    // in place before memory, in the PEI core's copy after it.
    ASSERT_EQ(b.run["modules"].size(), 1u) << b.run.dump();
    const json& m = b.run["modules"][0];
    const auto address = [](const json& a) { return static_cast<uint32_t>(std::stoul(a.get<std::string>(), nullptr, 16)); };
    const uint32_t ranAt = address(m["ranAt"]);
    EXPECT_EQ(ranAt == address(m["placedAt"]), std::string(placement) == "pre") << m.dump();
    EXPECT_EQ(address(m["entryAddress"]), ranAt + qemu_rig::SymbolRva(qemu_rig::MODULE_ENTRY));
    EXPECT_EQ(address(m["endOfPeiAddress"]), ranAt + qemu_rig::SymbolRva(qemu_rig::ON_END_OF_PEI));
    EXPECT_EQ(m["entryStatus"]["value"], "0x00000000");
    EXPECT_EQ(m["endOfPeiStatus"]["value"], "0x00000000");
  }
}

TEST_P(QemuBuild, TamperedImageWrites8FThenStaysInTheHaltLoop) {
  for (const char* placement : {"post", "pre"}) {
    SCOPED_TRACE(placement);
    const Boot b = BootImage(Image(std::string("fail_") + placement));
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.run["verdict"], "fail");
    EXPECT_EQ(b.run["postCodes"],
              json::parse(R"({"total": 1, "runs": [{"value": "0x8F", "first": 0, "times": 1}], "omitted": null})"));
    EXPECT_EQ(b.run["serial"], "") << "nothing after PEI ran";
    ExpectTscMeasurement(b.run["pitWrites"]);
    ASSERT_EQ(b.run["modules"].size(), 1u) << b.run.dump();
    EXPECT_EQ(b.run["modules"][0]["entryStatus"]["value"], "0x00000000");
    EXPECT_EQ(b.run["modules"][0]["endOfPeiEntered"], true);
    EXPECT_EQ(b.run["modules"][0]["endOfPeiStatus"], nullptr) << "the check never returns from the halt loop";
    ASSERT_FALSE(b.run["haltEips"].empty());
    // Before memory the module runs in place, so its halt loop lies at the
    // rebased address: in OnEndOfPei, or in the seam's read of the flag.
    if (std::string(placement) != "pre") continue;
    const uint32_t base = qemu_rig::PreMemoryImageAddress(GetParam());
    for (const auto& eip : b.run["haltEips"]) {
      const std::string in = qemu_rig::SymbolAt(std::stoul(eip.get<std::string>(), nullptr, 16) - base);
      EXPECT_TRUE(in == qemu_rig::ON_END_OF_PEI || in == qemu_rig::READ_HALT_FLAG) << eip << " lies in " << in;
    }
  }
}

// The test names end in the build, so ctest runs the x64 builds' boots as an
// entry of their own, beside the IA-32 ones.
INSTANTIATE_TEST_SUITE_P(Ovmf, QemuBuild, testing::Values("", "x64_", "x64sb_"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           const std::string prefix = info.param;
                           return prefix.empty() ? std::string("Ia32") : prefix == "x64_" ? "X64" : "X64SecureBoot";
                         });

}  // namespace
