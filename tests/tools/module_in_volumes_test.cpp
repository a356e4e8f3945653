// inspect and run on images made with image create --firmware, where the
// module lies inside OVMF's LZMA-compressed PEI volume: one with the shipped
// build, one with two copies, a build whose first instruction is ud2 under
// the module's file name and the shipped build under another. Both images
// are made once for the whole program (each takes seconds) and removed after.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>

#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kCode = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const std::string kVars = "/usr/share/OVMF/OVMF32_VARS_4M.fd";
const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();
const std::string kModuleGuid = "aa639189-75ff-4fb1-bafc-250c14a28657";
const std::string kCopyGuid = "0badc0de-0000-4000-8000-000000000001";
// OVMF's PEI volume runs at 0x820000 once SEC has decompressed it, and is 0xE0000 bytes long.
// The volumes of OVMF's code, outermost first, down to it: FVMAIN_COMPACT, its
// file 1, the LZMA section, the volume section after a RAW one.
constexpr uint32_t PEIFV_BASE = 0x820000, PEIFV_SIZE = 0xE0000;

class ModuleInVolumes : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists(kCode) || !std::filesystem::exists(kVars)) return;
    scratch_ = std::make_unique<tools_test::ScratchDir>();
    dir_ = scratch_->path();
    // The entry point's RVA is its file offset: the module's sections are
    // aligned in the file as in memory.
    std::vector<uint8_t> efi = tools_test::ReadBytes(kModule);
    const uint32_t peAt = efi[0x3C] | efi[0x3D] << 8;
    const uint32_t entryAt = peAt + 0x28;  // PE signature, COFF header, then AddressOfEntryPoint at 16
    const uint32_t entry = efi[entryAt] | efi[entryAt + 1] << 8 | efi[entryAt + 2] << 16 | efi[entryAt + 3] << 24;
    efi[entry] = 0x0F;  // ud2
    efi[entry + 1] = 0x0B;
    tools_test::WriteBytes(dir_ + "/ud2.efi", efi);
    const std::string vars = " --vars " + kVars;
    const auto created = Veriflash("image create --json " + dir_ + "/shipped.bin --firmware " + kCode + vars);
    shipped_ = created.status == 0;
    if (shipped_) inserted_ = created.Json()["firmware"]["module"];
    twoCopies_ =
        Veriflash("firmware add " + kCode + " -o " + dir_ + "/ud2.fd --module " + dir_ + "/ud2.efi").status == 0 &&
        Veriflash("firmware add " + dir_ + "/ud2.fd -o " + dir_ + "/two.fd --guid " + kCopyGuid).status == 0 &&
        Veriflash("image create " + dir_ + "/two.bin --no-module --firmware " + dir_ + "/two.fd" + vars).status == 0;
  }
  static void TearDownTestSuite() { scratch_.reset(); }
  void SetUp() override {
    if (dir_.empty()) GTEST_SKIP() << kCode << " or " << kVars << " is absent: install Debian's ovmf-ia32";
    ASSERT_TRUE(shipped_ && twoCopies_) << "image create --firmware failed";
  }
  static std::string dir_;
  static std::unique_ptr<tools_test::ScratchDir> scratch_;
  static bool shipped_, twoCopies_;
  static nlohmann::json inserted_;  // where image create put the module
};
std::string ModuleInVolumes::dir_;
std::unique_ptr<tools_test::ScratchDir> ModuleInVolumes::scratch_;
bool ModuleInVolumes::shipped_ = false, ModuleInVolumes::twoCopies_ = false;
nlohmann::json ModuleInVolumes::inserted_;

uint32_t Address(const nlohmann::json& text) { return static_cast<uint32_t>(std::stoul(text.get<std::string>(), nullptr, 16)); }

struct Copy {
  std::string file;
  std::optional<bool> identical;
  std::string comparison;
};

TEST_F(ModuleInVolumes, InspectNamesEachCopyInTheCompressedPeiVolume) {
  struct Case {
    const char* image;
    std::vector<Copy> copies;
  };
  const std::vector<Case> cases = {
      {"shipped", {{kModuleGuid, true, "byte-identical to the shipped build"}}},
      {"two", {{kModuleGuid, false, "differs from the shipped build"}, {kCopyGuid, true, "byte-identical to the shipped build"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string image = dir_ + "/" + c.image + ".bin";
    const auto json = Veriflash("inspect --json " + image);
    ASSERT_EQ(json.status, 0) << json.err;  // the region and its digest are the same in both
    const nlohmann::json doc = json.Json();
    EXPECT_TRUE(doc["module"].is_null()) << "nothing placed plainly in the flash";
    ASSERT_EQ(doc["modulesInVolumes"].size(), c.copies.size());
    const auto text = Veriflash("inspect " + image);
    uint32_t previous = 0;
    for (size_t i = 0; i < c.copies.size(); ++i) {
      const nlohmann::json& m = doc["modulesInVolumes"][i];
      EXPECT_EQ(m["source"], "image");
      EXPECT_EQ(m["identicalToShipped"], *c.copies[i].identical);
      EXPECT_EQ(m["inVolume"]["file"], c.copies[i].file);
      EXPECT_EQ(m["inVolume"]["name"], "veriflash");
      EXPECT_EQ(m["inVolume"]["preMemory"], false);
      EXPECT_EQ(m["inVolume"]["inPlaceKnown"], true);
      EXPECT_TRUE(m["inVolume"]["volume"].is_string()) << "the PEI volume's name from its extended header";
      const std::vector<std::string> path = m["inVolume"]["path"];
      ASSERT_EQ(path.size(), 4u);
      EXPECT_EQ(path[2], "LZMA section");
      const uint32_t at = Address(m["address"]);
      if (std::string(c.image) == "shipped") EXPECT_EQ(m["address"], inserted_["imageAddress"]);
      EXPECT_GT(at, previous) << "copies in the order of their files";
      EXPECT_LT(at, PEIFV_BASE + PEIFV_SIZE);
      EXPECT_EQ(at % 32, 0u) << "the module's section alignment";
      EXPECT_TRUE(m["offset"].is_null()) << "it runs in RAM, not from the flash";
      previous = std::max(at, PEIFV_BASE);
      EXPECT_NE(text.out.find("  file " + c.copies[i].file + " (veriflash)\n"), std::string::npos) << text.out;
    }
    EXPECT_NE(text.out.find("modules in firmware volumes\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    build    " + c.copies[0].comparison + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("    how      shadowed"), std::string::npos) << text.out;

    std::vector<std::string> areas;
    for (const auto& a : doc["areas"]) areas.push_back(a["what"]);
    ASSERT_EQ(areas.size(), 4u);
    EXPECT_EQ(areas[0].rfind("variable store: volume", 0), 0u) << areas[0];
    EXPECT_EQ(areas[1], "code part: 2 volumes up to 4 GiB");
  }
}

TEST_F(ModuleInVolumes, EmulatedRunRunsEveryCopyWhereItRuns) {
  struct Case {
    const char* image;
    const char* engine;
    int status;
    std::vector<std::string> verdicts;  // of the copies, in order
  };
  const std::vector<Case> cases = {
      {"shipped", "emulated", 0, {"pass"}},
      {"two", "emulated", 1, {"fail", "pass"}},
      {"two", "native", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.image) + " " + c.engine);
    const auto r = Veriflash(std::string("run --json --engine ") + c.engine + " " + dir_ + "/" + c.image + ".bin");
    ASSERT_EQ(r.status, c.status) << r.err;
    const nlohmann::json doc = r.Json();
    if (std::string(c.engine) == "native") {
      EXPECT_TRUE(doc["module"].is_null());
      EXPECT_TRUE(doc["reason"].is_null()) << doc["reason"];
      EXPECT_NE(r.err.find("differs from the shipped build; the native engine runs the host build"), std::string::npos)
          << r.err;
      continue;
    }
    EXPECT_EQ(r.err.find("holds no module"), std::string::npos) << r.err;
    ASSERT_EQ(doc["copies"].size(), c.verdicts.size());
    for (size_t i = 0; i < c.verdicts.size(); ++i) {
      SCOPED_TRACE(i);
      const nlohmann::json& copy = doc["copies"][i];
      EXPECT_EQ(copy["verdict"], c.verdicts[i]);
      if (c.verdicts[i] == "pass") continue;
      // The failing copy is the report's own module.
      EXPECT_EQ(copy["module"], doc["module"]);
      const std::string reason = copy["reason"];
      EXPECT_EQ(reason.rfind("the module was stopped: invalid instruction at EIP " + std::string(copy["module"]["entry"]), 0), 0u)
          << reason;
    }
  }
}

// The PEI volume in a listing whose code part's first volume is volumes[at].
const nlohmann::json& PeiVolume(const nlohmann::json& list, size_t at) {
  return list["volumes"][at]["files"][1]["sections"][0]["sections"][1]["volumes"][0];
}

TEST_F(ModuleInVolumes, ListKeepsEveryFileOfThePeiVolumeAndMarksTheModule) {
  const auto code = Veriflash("firmware list --json " + kCode);
  const auto image = Veriflash("firmware list --json " + dir_ + "/shipped.bin");
  ASSERT_EQ(code.status, 0) << code.err;
  ASSERT_EQ(image.status, 0) << image.err;
  const nlohmann::json codeList = code.Json(), imageList = image.Json();
  const nlohmann::json& before = PeiVolume(codeList, 0);
  const nlohmann::json& after = PeiVolume(imageList, 1);  // after the variable store
  EXPECT_EQ(before["base"], "0x00820000");
  EXPECT_EQ(after["base"], "0x00820000");
  const size_t kept = before["files"].size();
  ASSERT_GT(after["files"].size(), kept);
  for (size_t i = 0; i < kept; ++i) EXPECT_EQ(after["files"][i], before["files"][i]) << i;
  std::vector<nlohmann::json> marked;
  for (const auto& f : before["files"]) EXPECT_TRUE(f["module"].is_null()) << f["name"];
  for (const auto& f : after["files"])
    if (!f["module"].is_null()) marked.push_back(f);
  ASSERT_EQ(marked.size(), 1u);
  EXPECT_EQ(marked[0]["name"], kModuleGuid);
  EXPECT_EQ(marked[0]["uiName"], "veriflash");
  EXPECT_EQ(marked[0]["offset"], inserted_["fileOffset"]);
  EXPECT_EQ(marked[0]["module"]["identicalToShipped"], true);
  std::vector<std::string> inPlace;
  for (const auto& s : marked[0]["sections"])
    if (!s["inPlaceAddress"].is_null()) inPlace.push_back(s["inPlaceAddress"]);
  EXPECT_EQ(inPlace, std::vector<std::string>{inserted_["imageAddress"]});
}

}  // namespace
