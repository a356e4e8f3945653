// create -> inspect -> run for every way an image can fail the check, and the
// pass: inspect names the failing step and status, both engines halt exactly
// when inspect says the check fails, and the two engines leave the same
// access log.
#include <gtest/gtest.h>

#include "image_patch.h"
#include "tool_runner.h"
#include "vplat/flash_image.h"

namespace {

using tools_test::PointFitAt;
using tools_test::SetManifestEntry;
using tools_test::Veriflash;

struct Case {
  const char* name;
  const char* create;                   // options of image create
  tools_test::ImagePatch patch;         // then applied to the file, or null
  bool emulate;                         // also run the real binary
  int status;
  const char* step;    // the first failing step
  const char* reason;  // its summary and status name
  const char* value;   // the status value
};

const Case kCases[] = {
    {"pass", "", nullptr, true, 0, "", "", ""},
    {"checksum bit clear", "--fit-checksum off", nullptr, false, 0, "", "", ""},
    {"high address bits of the manifest entry ignored", "",
     [](std::vector<uint8_t>& i) { SetManifestEntry(i, 0x12345678'FFFD0000ull); }, false, 0, "", "", ""},
    {"no FIT", "--no-fit", nullptr, true, 1, "FIT header", "no FIT: the FIT pointer is erased: Not Found", "0x8000000E"},
    {"FIT pointer into nowhere", "", [](std::vector<uint8_t>& i) { PointFitAt(i, 0x12345678); }, false, 1, "FIT header",
     "the FIT pointer leads outside the image: Not Found", "0x8000000E"},
    {"FIT header across 4 GiB", "",
     [](std::vector<uint8_t>& i) {
       vplat::Store(i, 0xFFFFFFF8u, "_FIT_   ", 8);
       PointFitAt(i, 0xFFFFFFF8u);
     },
     false, 1, "FIT header", "the FIT pointer leads outside the image: Not Found", "0x8000000E"},
    {"FIT signature with NULs", "", [](std::vector<uint8_t>& i) { vplat::Store(i, vplat::DEFAULT_FIT_ADDRESS, "_FIT_\0\0\0", 8); },
     false, 1, "FIT header", "no FIT signature \"_FIT_   \" where the FIT pointer leads: Not Found", "0x8000000E"},
    {"FIT entry count past 4 GiB", "",
     [](std::vector<uint8_t>& i) { i[vplat::OffsetOf(i, vplat::DEFAULT_FIT_ADDRESS) + 10] = 0x01; }, false, 1,
     "FIT header", "the FIT runs past 4 GiB: Not Found", "0x8000000E"},
    {"bad FIT checksum", "--fit-checksum bad", nullptr, true, 1, "FIT checksum",
     "FIT checksum does not sum to zero: CRC Error", "0x8000001B"},
    {"no manifest entry", "--no-manifest-entry", nullptr, true, 1, "manifest entry",
     "no Boot Policy Manifest entry (type 0x0C) in the FIT: Not Found", "0x8000000E"},
    {"wrong manifest signature", "--wrong-manifest-signature", nullptr, true, 1, "manifest signature",
     "the manifest does not start with \"__ACBP__\": Not Found", "0x8000000E"},
    {"manifest across 4 GiB", "",
     [](std::vector<uint8_t>& i) {
       vplat::Store(i, 0xFFFFFFA0u, "__ACBP__", 8);
       SetManifestEntry(i, 0xFFFFFFA0u);
     },
     false, 1, "manifest signature", "the manifest lies outside the image: Not Found", "0x8000000E"},
    {"reference digest inside the region", "", [](std::vector<uint8_t>& i) { tools_test::MoveManifestTo(i, 0xFFD00000); },
     false, 1, "digest",
     "the manifest's reference digest lies inside the checked region: writing it changes the hashed bytes, so no "
     "digest can ever match: Security Violation",
     "0x8000001A"},
    {"digest mismatch", "--digest wrong", nullptr, true, 1, "digest",
     "the region's digest differs from the manifest's reference digest: Security Violation", "0x8000001A"},
    {"last byte of the region tampered", "--tamper 0xFFD3FFFF", nullptr, true, 1, "digest",
     "the region's digest differs from the manifest's reference digest: Security Violation", "0x8000001A"},
};

TEST(RoundTrip, InspectAndBothEnginesAgreeOnEveryCause) {
  const tools_test::ScratchDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir + "/image.bin";
    const auto created = tools_test::CreateImage(image, c.create, c.patch);
    ASSERT_EQ(created.status, 0) << created.err;

    const auto text = Veriflash("inspect " + image);
    EXPECT_EQ(text.status, c.status);
    const std::string verdict = c.status == 0 ? "verdict  PASS: the module lets the boot continue\n"
                                              : std::string("verdict  FAIL at ") + c.step + ": " + c.reason + "\n";
    EXPECT_NE(text.out.find(verdict), std::string::npos) << text.out;

    const auto inspect = Veriflash("inspect --json " + image);
    EXPECT_EQ(inspect.status, c.status);
    const auto doc = inspect.Json();
    EXPECT_EQ(doc["verdict"], c.status == 0 ? "pass" : "fail");
    if (c.status != 0) {
      EXPECT_EQ(doc["failure"]["step"], c.step);
      EXPECT_EQ(doc["failure"]["reason"], c.reason);
      EXPECT_EQ(doc["failure"]["status"], c.value);
    }

    const auto native = Veriflash("run --engine native --trace --json " + image);
    ASSERT_EQ(native.status, c.status) << native.err;
    const auto ran = native.Json();
    EXPECT_EQ(ran["verdict"], c.status == 0 ? "pass" : "fail");
    EXPECT_EQ(ran["halted"], c.status != 0);
    EXPECT_EQ(ran["postCodes"]["runs"], c.status == 0 ? nlohmann::json::array()
                                                      : nlohmann::json::parse(R"([{"value":"0x8F","first":0,"times":1}])"));
    EXPECT_EQ(ran["reason"], c.status == 0 ? nlohmann::json() : nlohmann::json(c.reason));
    // Every failure sends the same one line; a pass sends nothing.
    ASSERT_EQ(ran["trace"]["total"], c.status == 0 ? 0u : 1u);
    if (c.status != 0) EXPECT_EQ(ran["trace"]["runs"][0]["value"]["text"], "TraceHub : POSTCODE=<8F>\r\n");
    EXPECT_TRUE(native.err.empty()) << native.err;

    if (!c.emulate) continue;
    const auto emulated = Veriflash("run --trace --json " + image);
    ASSERT_EQ(emulated.status, c.status) << emulated.err;
    const auto real = emulated.Json();
    EXPECT_EQ(real["engine"], "emulated");
    EXPECT_EQ(real["module"]["address"], "0xFFD40000");
    for (const char* key : {"verdict", "postCodes", "hobs", "trace", "accessLog"}) EXPECT_EQ(real[key], ran[key]) << key;
  }
}

TEST(RoundTrip, CreateSaysWhatItWroteAndInspectMapsIt) {
  const tools_test::ScratchDir dir;
  const auto created = Veriflash("image create " + dir + "/a.bin");
  EXPECT_EQ(created.status, 0);
  EXPECT_EQ(created.out, "wrote " + dir +
                             "/a.bin: 8 MiB, 0xFF800000-0xFFFFFFFF, module at 0xFFD40000 (offset 0x540000); the "
                             "check passes\n");

  const auto doc = Veriflash("inspect --json " + dir + "/a.bin").Json();
  EXPECT_EQ(doc["image"]["base"], "0xFF800000");
  EXPECT_EQ(doc["region"], (nlohmann::json{{"address", "0xFFA70000"},
                                           {"offset", "0x270000"},
                                           {"biosOffset", "0x270000"},
                                           {"size", "0x2D0000"},
                                           {"wholeMapped", true}}));
  EXPECT_EQ(doc["fitPointer"]["value"], "0xFFFE0000");
  EXPECT_EQ(doc["fit"]["address"], "0xFFFE0000");
  EXPECT_EQ(doc["fit"]["offset"], "0x7E0000");
  EXPECT_EQ(doc["fit"]["entryCount"], 5);
  EXPECT_EQ(doc["fit"]["byteSum"], "0x00");
  const char* names[] = {"FIT Header", "Microcode Update", "Startup ACM", "Key Manifest", "Boot Policy Manifest"};
  ASSERT_EQ(doc["fit"]["entries"].size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(doc["fit"]["entries"][i]["typeName"], names[i]);
  EXPECT_EQ(doc["fit"]["entries"][0]["address"], "\"_FIT_   \"");
  EXPECT_EQ(doc["fit"]["entries"][4]["address"], "0x00000000FFFD0000");
  EXPECT_EQ(doc["fit"]["entries"][4]["at"]["offset"], "0x7E0040");
  EXPECT_EQ(doc["manifest"], (nlohmann::json{
                                 {"address", "0xFFFD0000"}, {"offset", "0x7D0000"}, {"biosOffset", "0x7D0000"}, {"fitEntry", 4}}));
  EXPECT_EQ(doc["module"]["address"], "0xFFD40000");
  EXPECT_EQ(doc["module"]["offset"], "0x540000");
  EXPECT_EQ(doc["digest"]["computed"], doc["digest"]["reference"]);
  EXPECT_EQ(doc["digest"]["computed"], common::HexDigest(vplat::RegionDigest(tools_test::ReadBytes(dir + "/a.bin"))));
}

TEST(RoundTrip, RegionContentSizeAndLocationsAreHonoured) {
  const tools_test::ScratchDir dir;
  std::vector<uint8_t> content(0x1000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  tools_test::WriteBytes(dir + "/region.bin", content);
  const auto created = Veriflash("image create " + dir + "/c.bin --size 6MiB --content " + dir +
                                 "/region.bin --fit 0xFFFF0000 --manifest 0xFFFF8000 --module-at 0xFFE00000");
  ASSERT_EQ(created.status, 0) << created.err;
  const auto image = tools_test::ReadBytes(dir + "/c.bin");
  ASSERT_EQ(image.size(), 6u << 20);
  const size_t region = vplat::OffsetOf(image, vplat::REGION_BASE);
  EXPECT_TRUE(std::equal(content.begin(), content.end(), image.begin() + static_cast<ptrdiff_t>(region)));
  EXPECT_EQ(image[region + content.size()], 0xFF);  // padding of a short content file

  const auto doc = Veriflash("inspect --json " + dir + "/c.bin").Json();
  EXPECT_EQ(doc["verdict"], "pass");
  EXPECT_EQ(doc["fit"]["address"], "0xFFFF0000");
  EXPECT_EQ(doc["manifest"]["address"], "0xFFFF8000");
  EXPECT_EQ(doc["module"]["address"], "0xFFE00000");
  EXPECT_EQ(doc["module"]["offset"], "0x400000");
}

}  // namespace
