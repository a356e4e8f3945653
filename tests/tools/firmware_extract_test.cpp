// firmware extract on Debian's OVMF with the module added, and on a full
// dump: each piece checked against what other means say it must be (the
// list's offsets, the volume header's own fields, the descriptor's region
// table), and every refusal as one line with nothing written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "firmware/flash_descriptor.h"
#include "firmware/pe_format.h"
#include "firmware/pi_format.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();
const std::string kCode = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
// OVMF's PEI volume, nested in the LZMA section of its main volume.
const std::string kPeiVolume = "6938079b-b503-4e3d-9d24-b28337a25806";

template <typename T>
T At(const std::vector<uint8_t>& b, size_t at) {
  T value;
  if (at + sizeof value > b.size()) throw std::out_of_range("read past the bytes");
  std::memcpy(&value, b.data() + at, sizeof value);
  return value;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, size_t at, size_t size) {
  return {b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + size)};
}

uint64_t Number(const nlohmann::json& hex) { return std::stoull(hex.get<std::string>(), nullptr, 16); }

// The volume named `name` anywhere in a `firmware list --json` tree, or null.
const nlohmann::json* FindVolume(const nlohmann::json& node, const std::string& name) {
  if (node.contains("fileSystem") && node["name"] == name) return &node;
  for (const char* children : {"volumes", "files", "sections"})
    if (node.contains(children))
      for (const nlohmann::json& child : node[children])
        if (const nlohmann::json* found = FindVolume(child, name)) return found;
  return nullptr;
}

// The module's file in the PEI volume of `firmware list --json`.
nlohmann::json ModuleFile(const nlohmann::json& list) {
  const nlohmann::json* pei = FindVolume(list, kPeiVolume);
  if (pei == nullptr) throw std::runtime_error("no PEI volume in the list");
  for (const nlohmann::json& f : (*pei)["files"])
    if (f["uiName"] == "veriflash") return f;
  throw std::runtime_error("no file named veriflash in the PEI volume");
}

struct PieceCase {
  const char* what;
  const char* args;  // after the image
  const char* kind;
  size_t path;  // containers named
};

const PieceCase kPieces[] = {
    {"the module's PE32 image", "--file veriflash --section pe32", "section", 5},
    {"the module's whole file", "--file aa639189-75ff-4fb1-bafc-250c14a28657", "file", 4},
    {"the PEI volume, decompressed", "--volume 6938079b-b503-4e3d-9d24-b28337a25806", "volume", 4},
};

TEST(FirmwareExtract, WritesExactlyThePieceAsListedAndRefusesInOneLine) {
  if (!std::filesystem::exists(kCode)) GTEST_SKIP() << kCode << " is absent: install Debian's ovmf-ia32";
  const tools_test::ScratchDir dir;
  const std::string fd = dir + "/X.fd";
  ASSERT_EQ(Veriflash("firmware add " + kCode + " -o " + fd).status, 0);
  const auto list = Veriflash("firmware list --json " + fd);
  ASSERT_EQ(list.status, 0) << list.err;
  const nlohmann::json module = ModuleFile(list.Json());
  const uint64_t fileAt = Number(module["offset"]), fileSize = Number(module["size"]);
  const nlohmann::json& pe32 = module["sections"][2];
  ASSERT_EQ(pe32["typeName"], "PE32");

  std::map<std::string, std::vector<uint8_t>> got;
  for (const PieceCase& c : kPieces) {
    SCOPED_TRACE(c.what);
    const std::string out = dir + "/" + c.kind;
    const auto r = Veriflash("firmware extract " + fd + " " + c.args + " -o " + out + " --json");
    ASSERT_EQ(r.status, 0) << r.err;
    got[c.kind] = tools_test::ReadBytes(out);
    const nlohmann::json doc = r.Json();
    EXPECT_EQ(doc["kind"], c.kind);
    EXPECT_EQ(doc["path"].size(), c.path);
    EXPECT_EQ(Number(doc["size"]), got[c.kind].size());
    EXPECT_EQ(doc["written"], out);
  }

  // The volume: as long as its header says, its header words summing to zero.
  const std::vector<uint8_t>& volume = got["volume"];
  const auto header = At<firmware::FirmwareVolumeHeader>(volume, 0);
  EXPECT_EQ(header.FvLength, volume.size());
  uint16_t sum = 0;
  for (size_t i = 0; i < header.HeaderLength; i += 2) sum = static_cast<uint16_t>(sum + At<uint16_t>(volume, i));
  EXPECT_EQ(sum, 0);
  // The file: where the list puts it in that volume, its header naming it.
  EXPECT_EQ(got["file"], Slice(volume, fileAt, fileSize));
  // The PE32 image: after the file's 24-byte header and the 4-byte section
  // header, as long as the shipped build and rebased where the list says it runs.
  const std::vector<uint8_t>& image = got["section"];
  EXPECT_EQ(image, Slice(got["file"], 0x18 + Number(pe32["offset"]) + 4, Number(pe32["size"]) - 4));
  EXPECT_EQ(image.size(), tools_test::ReadBytes(kModule).size());
  const size_t optional = At<uint32_t>(image, offsetof(firmware::PeDosHeader, e_lfanew)) + 4 +
                          sizeof(firmware::CoffFileHeader);
  EXPECT_EQ(At<uint32_t>(image, optional + offsetof(firmware::PeOptionalHeader32, ImageBase)),
            Number(pe32["inPlaceAddress"]));

  // Two copies of the PEI volume side by side hold the module twice.
  std::vector<uint8_t> twice = volume;
  twice.insert(twice.end(), volume.begin(), volume.end());
  tools_test::WriteBytes(dir + "/two.fv", twice);
  const std::string none = dir + "/none";
  const struct {
    std::string args, line;
  } refusals[] = {
      {fd + " --file NoSuchFile", fd + ": no file NoSuchFile"},
      {fd + " --file veriflash --section te", fd + ": no TE section of file veriflash"},
      {fd + " --volume 00000000-0000-0000-0000-000000000001", fd + ": no volume 00000000-0000-0000-0000-000000000001"},
      {fd + " --volume PEIFV", "--volume PEIFV: not a GUID"},
      {dir + "/two.fv --file veriflash",
       dir + "/two.fv: file veriflash is ambiguous, found at 0x27268 in volume at 0x0 and at 0x27268 in volume at "
             "0xE0000"},
      {fd + " --region bios", fd + ": no flash descriptor, so no regions: --region needs a full flash dump"},
      {fd, "firmware extract: say what to extract: --file, --volume or --region"},
      {fd + " --section pe32", "firmware extract: --section needs --file"},
      {fd + " --file veriflash --region me", "firmware extract: --file and --region cannot be given together"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.args);
    const auto r = Veriflash("firmware extract " + c.args + " -o " + none);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "veriflash: " + c.line + "\n");
    EXPECT_FALSE(std::filesystem::exists(none));
  }
}

// A region of a full dump is the slice the descriptor's region table gives;
// an unused region is refused.
TEST(FirmwareExtract, RegionsOfADumpAreTheSlicesTheDescriptorGives) {
  const tools_test::ScratchDir dir;
  const std::string dump = dir + "/dump.bin", out = dir + "/region";
  ASSERT_EQ(Veriflash("image create --descriptor " + dump).status, 0);
  const std::vector<uint8_t> bytes = tools_test::ReadBytes(dump);
  const auto header = At<firmware::FlashDescriptorHeader>(bytes, 0);
  const struct {
    const char* word;
    uint32_t index;
  } regions[] = {{"descriptor", 0}, {"bios", 1}, {"me", 2}};
  for (const auto& c : regions) {
    SCOPED_TRACE(c.word);
    const auto record = At<firmware::FlashRegionRecord>(
        bytes, header.Map0.RegionBase * firmware::FLASH_SECTION_UNIT + c.index * sizeof(firmware::FlashRegionRecord));
    const size_t first = size_t{record.Base} * 0x1000, last = size_t{record.Limit} * 0x1000 + 0xFFF;
    ASSERT_LT(first, last);
    const auto r = Veriflash("firmware extract " + dump + " --region " + c.word + " -o " + out + " --force");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tools_test::ReadBytes(out), Slice(bytes, first, last + 1 - first));
  }
  std::filesystem::remove(out);
  const auto r = Veriflash("firmware extract " + dump + " --region gbe -o " + out);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "veriflash: " + dump + ": the descriptor marks the GbE region unused\n");
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
