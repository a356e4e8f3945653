// veriflash diff on pairs of images made for each outcome: what it lists,
// what it says the change means, and its exit status, which is cmp's.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kCode = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const std::string kVars = "/usr/share/OVMF/OVMF32_VARS_4M.fd";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each of `want` is a whole line of `out`, with "{A}" and "{B}" standing for the images' paths.
void ExpectLines(const std::string& out, const std::vector<std::string>& want, const std::string& a, const std::string& b) {
  const auto lines = Lines(out);
  for (std::string line : want) {
    for (const auto& [key, value] : {std::pair{std::string("{A}"), a}, {std::string("{B}"), b}})
      for (size_t at; (at = line.find(key)) != std::string::npos;) line.replace(at, key.size(), value);
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << "missing line: " << line << "\nin:\n" << out;
  }
}

std::vector<uint8_t> Flipped(std::vector<uint8_t> bytes, const std::vector<size_t>& offsets) {
  for (size_t at : offsets) bytes.at(at) ^= 0xA5;
  return bytes;
}

struct DiffCase {
  const char* name;
  const char* createB;          // `image create` options for B; null: B is A with bytes flipped
  std::vector<size_t> flipped;  // file offsets flipped in A to make B
  int status;
  std::vector<std::string> stdoutLines;
  std::string stderrLine;  // the one line on stderr, when the images cannot be compared
  std::string givenB;      // an image made beforehand, instead of the above
};

class Diff : public testing::Test {
 protected:
  void SetUp() override {
    scratch_ = std::make_unique<tools_test::ScratchDir>();
    dir_ = scratch_->path();
  }
  void TearDown() override { scratch_.reset(); }

  void Check(const DiffCase& c, const std::string& a) {
    SCOPED_TRACE(c.name);
    const std::string b = c.givenB.empty() ? dir_ + "/" + c.name + ".bin" : c.givenB;
    if (c.givenB.empty() && c.createB != nullptr)
      ASSERT_EQ(Veriflash("image create " + b + " " + c.createB).status, 0);
    else if (c.givenB.empty())
      tools_test::WriteBytes(b, Flipped(tools_test::ReadBytes(a), c.flipped));
    const auto result = Veriflash("diff " + a + " " + b);
    EXPECT_EQ(result.status, c.status);
    ExpectLines(result.out, c.stdoutLines, a, b);
    if (c.stderrLine.empty()) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.out, "");
      ExpectLines(result.err, {c.stderrLine}, a, b);
      EXPECT_EQ(result.ErrLines().size(), 1u);
    }
  }

  std::unique_ptr<tools_test::ScratchDir> scratch_;
  std::string dir_;
};

// An 8 MiB BIOS region maps from 0xFF800000: address 0xFFB12345 is file offset 0x312345.
TEST_F(Diff, PlainImages) {
  const std::string a = dir_ + "/a.bin";
  ASSERT_EQ(Veriflash("image create " + a).status, 0);
  const DiffCase cases[] = {
      {"identical", nullptr, {}, 0, {"{A} and {B}: identical"}, ""},
      {"region-byte",
       nullptr,
       {0x312345},
       1,
       {"{A} and {B}: 1 byte differing in 1 range",
        "  0xFFB12345-0xFFB12345  offset 0x312345           1 byte  [checked region]",
        "  the checked region changed: the reference digest must be stamped again", "verdict: {A} passes, {B} fails"},
       ""},
      // 63 equal bytes between two differences make one range, 64 two.
      {"outside-merged",
       nullptr,
       {0x100000, 0x100040, 0x100100, 0x100141},
       1,
       {"{A} and {B}: 4 bytes differing in 3 ranges", "  0xFF900000-0xFF900040  offset 0x100000-0x100040  65 bytes",
        "  0xFF900100-0xFF900100  offset 0x100100           1 byte",
        "  0xFF900141-0xFF900141  offset 0x100141           1 byte",
        "  only bytes outside the checked region changed: the verdict cannot change", "verdict: {A} passes, {B} passes"},
       ""},
      // The manifest sits at 0xFFFD0000; `--digest wrong` changes the last byte of its digest at +0x4C.
      {"reference-digest",
       "--digest wrong",
       {},
       1,
       {"  0xFFFD006B-0xFFFD006B  offset 0x7D006B           1 byte  [reference digest]",
        "  the manifest's reference digest changed: the check compares the region with the new one"},
       ""},
      {"smaller",
       "--size 0x600000",
       {},
       2,
       {},
       "veriflash: {A} holds 0x800000 bytes and {B} holds 0x600000: images of different sizes cannot be compared"},
  };
  for (const DiffCase& c : cases) Check(c, a);
}

// A 16 MiB dump holds an 8 MiB BIOS region at 0x800000: 0xFFB00000 is BIOS
// offset 0x300000, file offset 0xB00000; its ME region starts at 0x1000.
TEST_F(Diff, Dumps) {
  const std::string a = dir_ + "/a.bin";
  ASSERT_EQ(Veriflash("image create " + a + " --descriptor --flash-size 0x1000000").status, 0);
  const DiffCase cases[] = {
      {"bigger-dump",
       "--descriptor --flash-size 0x2000000 --tamper 0xFFB00000",
       {},
       1,
       {"{A} and {B}: 1 byte differing in 1 range (the BIOS regions only: the dumps are laid out differently)",
        "  0xFFB00000-0xFFB00000  BIOS 0x300000           file 0xB00000           1 byte  [checked region]"},
       ""},
      {"me-byte",
       nullptr,
       {0x2000},
       1,
       {"{A} and {B}: 1 byte differing in 1 range", "  file offset 0x2000-0x2000  1 byte in 1 range, in ME",
        "  only bytes outside the checked region changed: the verdict cannot change"},
       ""},
      {"region-file",
       "",
       {},
       2,
       {},
       "veriflash: {A} is a full flash dump and {B} is not: a dump is compared with a dump, a BIOS region with a BIOS "
       "region"},
  };
  for (const DiffCase& c : cases) Check(c, a);
}

// Images that boot in OVMF: the variable store lies in the checked region,
// and the PEI volume is compressed inside a file of the volume above it.
class FirmwareDiff : public Diff {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists(kCode) || !std::filesystem::exists(kVars)) return;
    sharedScratch_ = std::make_unique<tools_test::ScratchDir>();
    shared_ = sharedScratch_->path();
    const std::string parts = " --firmware " + kCode + " --vars " + kVars;
    ASSERT_EQ(Veriflash("image create " + shared_ + "/fw.bin" + parts).status, 0);
    ASSERT_EQ(Veriflash("image create " + shared_ + "/premem.bin --pre-memory" + parts).status, 0);
  }
  static void TearDownTestSuite() { sharedScratch_.reset(); }
  static std::unique_ptr<tools_test::ScratchDir> sharedScratch_;
  static std::string shared_;
};
std::unique_ptr<tools_test::ScratchDir> FirmwareDiff::sharedScratch_;
std::string FirmwareDiff::shared_;

// 8 MiB: the variable store (0x84000 bytes) ends where the code part
// (0x37C000 bytes) starts, at 0x484000; so it starts at 0x400000.
TEST_F(FirmwareDiff, FirmwareImages) {
  if (shared_.empty()) GTEST_SKIP() << "Debian's OVMF IA-32 files (ovmf-ia32) are absent";
  const std::string fw = shared_ + "/fw.bin";
  const DiffCase cases[] = {
      {"vars-byte",
       nullptr,
       {0x402000},
       1,
       {"  0xFFC02000-0xFFC02000  offset 0x402000           1 byte  [checked region, variable store]",
        "      in variable store at 0xFFC00000",
        "  only the variable store changed; it lies in the checked region: the reference digest must be stamped again"},
       ""},
      // Listing the module in the a-priori file changes two files inside the compressed PEI volume.
      {"premem",
       nullptr,
       {},
       1,
       {"      volume 6938079b-b503-4e3d-9d24-b28337a25806: file 1b45cc0a-156a-428a-af62-49864da0e6e6 changed",
        "      volume 6938079b-b503-4e3d-9d24-b28337a25806: file aa639189-75ff-4fb1-bafc-250c14a28657 (veriflash) changed",
        "  the checked region changed in file veriflash of volume 6938079b-b503-4e3d-9d24-b28337a25806: the reference "
        "digest must be stamped again"},
       "",
       shared_ + "/premem.bin"},
  };
  for (const DiffCase& c : cases) Check(c, fw);
}

}  // namespace
