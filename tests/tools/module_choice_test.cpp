// Which module `run` runs: the image's own, as the board would, whatever it
// does; the shipped build only where the image holds none; and what it says
// about either.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tool_runner.h"
#include "vplat/flash_image.h"

namespace {

using tools_test::Veriflash;

// A copy of `from` with `code` written at the embedded module's entry point.
std::string WithEntryCode(const std::string& dir, const std::string& from, const std::string& name,
                          const std::vector<uint8_t>& code) {
  const auto inspected = Veriflash("inspect --json " + from).Json();
  const uint32_t entry = static_cast<uint32_t>(std::stoul(inspected["module"]["entry"].get<std::string>(), nullptr, 16));
  auto image = tools_test::ReadBytes(from);
  std::copy(code.begin(), code.end(), image.begin() + static_cast<ptrdiff_t>(vplat::OffsetOf(image, entry)));
  const std::string path = dir + "/" + name;
  tools_test::WriteBytes(path, image);
  return path;
}

TEST(ModuleChoice, RunsTheImagesOwnModuleWhateverItDoes) {
  const tools_test::ScratchDir dir;
  const std::string good = dir + "/good.bin";
  ASSERT_EQ(Veriflash("image create " + good).status, 0);
  const struct {
    const char* name;
    std::vector<uint8_t> entry;
    int status;
    const char* verdict;
    const char* reason;
  } cases[] = {
      {"as shipped", {}, 0, "pass", nullptr},
      {"int3 at the entry", {0xCC}, 1, "fail", "the module was stopped: CPU exception 3 (breakpoint) at EIP 0xFFD4"},
      {"ud2 at the entry", {0x0F, 0x0B}, 1, "fail", "the module was stopped: invalid instruction at EIP 0xFFD4"},
      {"returns without registering", {0x31, 0xC0, 0xC3}, 1, "not run",
       "the module never registered its End-of-PEI notification, so the check never runs"},
      {"cli; hlt at the entry", {0xFA, 0xF4}, 1, "fail", "the module halted hlt at EIP 0xFFD4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = c.entry.empty() ? good : WithEntryCode(dir, good, "bad.bin", c.entry);
    const auto r = Veriflash("run --json " + image);
    EXPECT_EQ(r.status, c.status) << r.err;
    const auto doc = r.Json();
    EXPECT_EQ(doc["verdict"], c.verdict);
    EXPECT_EQ(doc["module"]["source"], "image");
    EXPECT_EQ(doc["module"]["address"], "0xFFD40000");
    EXPECT_EQ(doc["module"]["identicalToShipped"], c.entry.empty());
    if (c.reason) EXPECT_EQ(doc["reason"].get<std::string>().rfind(c.reason, 0), 0u) << doc["reason"];
    EXPECT_EQ(Veriflash("inspect --json " + image).Json()["module"]["identicalToShipped"], c.entry.empty());
    // The host build runs the shipped logic, whatever the image holds.
    EXPECT_EQ(Veriflash("run --engine native " + image).status, 0);
  }
}

TEST(ModuleChoice, PlacesTheShippedBuildOnlyWhereTheImageHoldsNoneAndSaysSo) {
  const tools_test::ScratchDir dir;
  ASSERT_EQ(Veriflash("image create --no-module " + dir + "/bare.bin").status, 0);
  const auto r = Veriflash("run --json " + dir + "/bare.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.Json()["module"]["source"], "shipped");
  EXPECT_EQ(r.err, "veriflash: note: " + dir + "/bare.bin holds no module; running the shipped build placed at 0xFFD40000\n");
  // --module replaces the image's module; a copy of the shipped file is byte-identical.
  const std::string copy = dir + "/copy.efi";
  std::filesystem::copy_file(std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi", copy);
  const auto replaced = Veriflash("run --json --module " + copy + " " + dir + "/bare.bin").Json();
  EXPECT_EQ(replaced["module"]["source"], "file");
  EXPECT_EQ(replaced["module"]["identicalToShipped"], true);
}

// Only the module's placement must keep clear of the FIT, the manifest and
// the FIT pointer; they may cover one another, as here, where the FIT's last
// entry is the FIT pointer itself.
TEST(ModuleChoice, AFitThatCoversTheFitPointerStillRuns) {
  const tools_test::ScratchDir dir;
  vplat::FlashImageOptions o;
  o.fitAddress = 0xFFFFFF80u;  // 5 entries: up to 0xFFFFFFCF, over the pointer at 0xFFFFFFC0
  o.fitChecksum = false;
  o.entries = {{0x0C, vplat::DEFAULT_MANIFEST_ADDRESS, vplat::DEFAULT_MANIFEST_SIZE},
               {0x01, 0xFFE00000u, 0},
               {0x02, 0xFFE40000u, 0},
               {0x0B, 0xFFFC0000u, 0x400}};
  tools_test::WriteBytes(dir + "/odd.bin", vplat::BuildFlashImage(o));
  EXPECT_EQ(Veriflash("inspect " + dir + "/odd.bin").status, 0);
  const auto r = Veriflash("run " + dir + "/odd.bin");
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
