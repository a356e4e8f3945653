// Flash files of every realistic size, bare BIOS regions and full dumps with a
// flash descriptor: inspect and run map the BIOS region's top below 4 GiB and
// give every address with its BIOS-region and file offsets; a flash short of
// the checked region fails; stamping writes exactly the region's digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "common/digest.h"
#include "common/hex.h"
#include "firmware/flash_descriptor.h"
#include "image_patch.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

constexpr size_t MiB = 1u << 20;

struct SizeCase {
  const char* name;
  const char* create;
  tools_test::ImagePatch patch;
  uint64_t fileSize;
  bool descriptor;
  const char* base;        // of the mapped flash
  bool wholeBios;
  const char* manifestOffset;      // in the file; null where the check stops before the manifest
  const char* manifestBiosOffset;  // in the BIOS region
};

// The 64 MiB dump's BIOS region grown down to 16 MiB: 48 MiB, of which the top 16 are mapped.
void GrowBiosTo48MiB(std::vector<uint8_t>& dump) { dump[0x44] = 0x00, dump[0x45] = 0x10; }

const SizeCase kSizes[] = {
    {"BIOS region 4 MiB", "", [](std::vector<uint8_t>& i) { tools_test::KeepTop(i, 4 * MiB); }, 4 * MiB, false,
     "0xFFC00000", true, nullptr, nullptr},
    {"BIOS region 8 MiB", "", nullptr, 8 * MiB, false, "0xFF800000", true, "0x7D0000", "0x7D0000"},
    {"BIOS region 12 MiB", "--size 12MiB", nullptr, 12 * MiB, false, "0xFF400000", true, "0xBD0000", "0xBD0000"},
    {"BIOS region 16 MiB", "--size 16MiB", nullptr, 16 * MiB, false, "0xFF000000", true, "0xFD0000", "0xFD0000"},
    {"dump 16 MiB", "--descriptor", nullptr, 16 * MiB, true, "0xFF800000", true, "0xFD0000", "0x7D0000"},
    {"dump 32 MiB", "--descriptor --flash-size 32MiB", nullptr, 32 * MiB, true, "0xFF800000", true, "0x1FD0000",
     "0x7D0000"},
    {"dump 64 MiB", "--descriptor --flash-size 64MiB --size 16MiB", nullptr, 64 * MiB, true, "0xFF000000", true,
     "0x3FD0000", "0xFD0000"},
    {"dump 64 MiB, BIOS region 48 MiB", "--descriptor --flash-size 64MiB --size 16MiB", GrowBiosTo48MiB, 64 * MiB,
     true, "0xFF000000", false, "0x3FD0000", "0x2FD0000"},
};

TEST(FlashDump, EverySizeIsMappedFromItsTopAndChecked) {
  const tools_test::ScratchDir dir;
  const std::string image = dir + "/image.bin";
  for (const SizeCase& c : kSizes) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(tools_test::CreateImage(image, c.create, c.patch).status, 0);
    const bool reachesRegion = c.fileSize > 4 * MiB;
    const auto inspected = Veriflash("inspect --json " + image);
    ASSERT_EQ(inspected.status, reachesRegion ? 0 : 1) << inspected.err;
    const auto doc = inspected.Json();
    EXPECT_EQ(doc["image"]["size"], c.fileSize);
    EXPECT_EQ(doc["flash"]["descriptor"], c.descriptor);
    EXPECT_EQ(doc["flash"]["window"]["address"], c.base);
    EXPECT_EQ(doc["flash"]["wholeBiosMapped"], c.wholeBios);
    // The flash map's areas: the descriptor's regions in file order; the image holds no firmware volume.
    std::vector<std::string> areas;
    for (const auto& a : doc["areas"]) areas.push_back(a["what"]);
    const std::vector<std::string> regions = {"descriptor region 0", "ME region 2", "BIOS region 1"};
    EXPECT_EQ(areas, c.descriptor ? regions : std::vector<std::string>());
    if (c.descriptor) {
      EXPECT_EQ(doc["areas"][2]["last"], common::Hex(c.fileSize - 1));
    }
    if (c.manifestOffset) {
      EXPECT_EQ(doc["manifest"]["offset"], c.manifestOffset);
      EXPECT_EQ(doc["manifest"]["biosOffset"], c.manifestBiosOffset);
    } else {
      EXPECT_EQ(doc["manifest"], nullptr);
    }

    const auto ran = Veriflash("run --engine native --json " + image);
    EXPECT_EQ(ran.status, inspected.status) << ran.err;
    EXPECT_EQ(ran.Json()["verdict"], reachesRegion ? "pass" : "fail");
    EXPECT_EQ(ran.Json()["ran"], reachesRegion);
    if (!reachesRegion) {
      const std::string reason =
          "the mapped flash starts at 0xFFC00000, above the checked region at 0xFFA70000: the module would hash "
          "whatever the bus returns below it: Security Violation";
      EXPECT_EQ(doc["failure"]["step"], "checked region");
      EXPECT_EQ(doc["failure"]["reason"], reason);
      EXPECT_EQ(ran.Json()["reason"], reason);
      EXPECT_EQ(doc["digest"]["computed"], nullptr);
    }
    if (!c.wholeBios) {
      EXPECT_NE(Veriflash("inspect " + image).out.find(
                    "  full flash dump: BIOS region 0x1000000-0x3FFFFFF (48 MiB); only its top 16 MiB (file offset "
                    "0x3000000) are mapped, at 0xFF000000-0xFFFFFFFF\n"),
                std::string::npos);
    }
  }
}

TEST(FlashDump, StampingAWrongDigestMakesTheDumpBootOnTheRealBinary) {
  const tools_test::ScratchDir dir;
  const std::string wrong = dir + "/wrong.bin", stamped = dir + "/stamped.bin";
  ASSERT_EQ(Veriflash("image create --descriptor --digest wrong " + wrong).status, 0);
  EXPECT_EQ(Veriflash("inspect " + wrong).status, 1);

  const auto stamp = Veriflash("image stamp --json " + wrong + " -o " + stamped);
  ASSERT_EQ(stamp.status, 0) << stamp.err;
  EXPECT_EQ(stamp.Json()["stamp"]["at"],
            (nlohmann::json{{"address", "0xFFFD004C"}, {"offset", "0xFD004C"}, {"biosOffset", "0x7D004C"}}));
  EXPECT_EQ(stamp.Json()["stamp"]["changed"], true);

  // The 16 MiB dump holds the 8 MiB BIOS region at 0x800000: the region at
  // file offset 0xA70000, the manifest's digest at 0xFD004C. Only those 32
  // bytes change, to OpenSSL's digest of the region.
  const auto before = tools_test::ReadBytes(wrong), after = tools_test::ReadBytes(stamped);
  ASSERT_EQ(after.size(), before.size());
  const common::Digest digest = common::Sha256({after.data() + 0xA70000, 0x2D0000});
  EXPECT_TRUE(std::equal(digest.begin(), digest.end(), after.begin() + 0xFD004C));
  std::vector<size_t> changed;
  for (size_t i = 0; i < after.size(); ++i)
    if (after[i] != before[i]) changed.push_back(i);
  EXPECT_EQ(changed, std::vector<size_t>{0xFD004C + 31});  // the wrong digest differs in its last byte

  EXPECT_EQ(Veriflash("inspect " + stamped).status, 0);
  const auto ran = Veriflash("run --json " + stamped);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.Json()["engine"], "emulated");
  EXPECT_EQ(ran.Json()["verdict"], "pass");

  // A bare BIOS region, stamped in place, becomes the image built with the right digest.
  ASSERT_EQ(Veriflash("image create --digest wrong " + dir + "/bios.bin").status, 0);
  ASSERT_EQ(Veriflash("image create " + dir + "/right.bin").status, 0);
  const auto inPlace = Veriflash("image stamp --in-place " + dir + "/bios.bin");
  EXPECT_EQ(inPlace.status, 0);
  EXPECT_NE(inPlace.out.find("note: a signed manifest must be signed again after stamping"), std::string::npos);
  EXPECT_EQ(tools_test::ReadBytes(dir + "/bios.bin"), tools_test::ReadBytes(dir + "/right.bin"));
}

// The ME region's limit in a 16 MiB dump of image create --descriptor, whose
// ME region ends at 0x7FFFFF, just below the BIOS region.
void SetMeLimit(std::vector<uint8_t>& dump, uint16_t lastBlock) {
  firmware::FlashDescriptorHeader header;
  std::memcpy(&header, dump.data(), sizeof header);
  const size_t record = header.Map0.RegionBase * firmware::FLASH_SECTION_UNIT +
                        firmware::FLASH_REGION_ME * sizeof(firmware::FlashRegionRecord) +
                        offsetof(firmware::FlashRegionRecord, Limit);
  std::memcpy(dump.data() + record, &lastBlock, sizeof lastBlock);
}

struct OverlapCase {
  const char* name;
  uint16_t meLastBlock;
  const char* overlap;  // "first-last" of the shared bytes, null for none
  bool refused;         // the manifest's digest at file offset 0xFD004C lies in the ME region too
};

const OverlapCase kOverlaps[] = {
    {"ME region below the BIOS region", 0x7FF, nullptr, false},
    {"ME region over the BIOS region's first block", 0x800, "0x800000-0x800FFF", false},
    {"ME region over the whole BIOS region", 0xFFF, "0x800000-0xFFFFFF", true},
};

TEST(FlashDump, OverlappingRegionsAreNotedAndTheirBytesNotStampedUnlessAllowed) {
  const tools_test::ScratchDir dir;
  const std::string image = dir + "/dump.bin", out = dir + "/out.bin";
  for (const OverlapCase& c : kOverlaps) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Veriflash("image create --force --descriptor --digest wrong " + image).status, 0);
    auto bytes = tools_test::ReadBytes(image);
    SetMeLimit(bytes, c.meLastBlock);
    tools_test::WriteBytes(image, bytes);

    const auto text = Veriflash("inspect " + image);
    const std::string note = std::string("  note: the BIOS region 0x800000-0xFFFFFF and the ME region 0x001000-") +
                             common::Hex(c.meLastBlock * 0x1000u + 0xFFF, 6) + " overlap at " +
                             (c.overlap ? c.overlap : "") + ": both claim those bytes\n";
    EXPECT_EQ(text.out.find(note) != std::string::npos, c.overlap != nullptr) << text.out;
    EXPECT_EQ(text.out.find("note: the") != std::string::npos, c.overlap != nullptr);
    const auto json = Veriflash("inspect --json " + image).Json()["flash"]["overlaps"];
    if (c.overlap) {
      const std::string range = c.overlap;
      EXPECT_EQ(json, nlohmann::json::array({{{"regions", {1, 2}},
                                              {"names", {"BIOS", "ME"}},
                                              {"first", range.substr(0, 8)},
                                              {"last", range.substr(9)}}}));
    } else {
      EXPECT_EQ(json, nlohmann::json::array());
    }

    const auto stamp = Veriflash("image stamp --force " + image + " -o " + out);
    EXPECT_EQ(stamp.status, c.refused ? 2 : 0) << stamp.err;
    if (c.refused) {
      EXPECT_EQ(stamp.err, "veriflash: " + image +
                               ": cannot stamp: the manifest's reference digest at 0xFFFD004C (BIOS offset 0x7D004C, "
                               "file offset 0xFD004C) lies in the ME region 0x1000-0xFFFFFF as well as the BIOS "
                               "region; give --allow-overlap to write it all the same\n");
      EXPECT_FALSE(std::filesystem::exists(out));
      EXPECT_EQ(Veriflash("image stamp --allow-overlap " + image + " -o " + out).status, 0);
    }
    EXPECT_EQ(Veriflash("inspect " + out).status, 0);
    std::filesystem::remove(out);
  }
}

}  // namespace
