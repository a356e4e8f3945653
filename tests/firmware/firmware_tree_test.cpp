// The tree reader and the module finder on a small image made here: an
// outer volume with a RAW file, a file whose section needs a processing
// this code does not know, and a volume file whose LZMA section holds a PEI
// volume (a PEI core, a PEIM, the module listed a-priori, and a copy of it
// under another name). Addresses are checked against the bytes themselves:
// what lies at each in-place address of the decoded PEI volume (read with
// the independent reader) is the PE32 image whose ImageBase is that address.
#include <gtest/gtest.h>

#include "firmware/firmware_modules.h"
#include "firmware/firmware_tree.h"
#include "firmware/firmware_volume.h"
#include "firmware/lzma_stream.h"
#include "firmware/pe_image.h"
#include "firmware/pei_insert.h"
#include "firmware/peim_file.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"
#include "tests/firmware/pi_reader.h"
#include "tests/support/pe_recipe.h"
#include "tests/support/shipped_module.h"

namespace {

using firmware::PiGuid;

constexpr uint32_t PEI_BASE = 0x820000;  // where the PEI volume runs once decoded
constexpr size_t OUTER_AT = 0x1000;      // the outer volume's offset in the image

PiGuid Guid(const char* text) { return *firmware::ParseGuid(text); }
const PiGuid PEI_CORE = Guid("11111111-0000-0000-0000-000000000001");
const PiGuid ALPHA = Guid("11111111-0000-0000-0000-000000000002");
const PiGuid COPY = Guid("11111111-0000-0000-0000-000000000003");
const PiGuid RAW_FILE = Guid("22222222-0000-0000-0000-000000000001");
const PiGuid SEALED_FILE = Guid("22222222-0000-0000-0000-000000000002");
const PiGuid SEALED_SECTION = Guid("33333333-0000-0000-0000-000000000001");
const PiGuid MAIN_FILE = Guid("22222222-0000-0000-0000-000000000003");

firmware::FirmwareVolume EmptyVolume(uint32_t size) {
  firmware::FirmwareVolume v;
  v.header.FileSystemGuid = firmware::FFS2_FILE_SYSTEM_GUID;
  v.header.FvLength = size;
  v.header.Signature = firmware::FV_SIGNATURE;
  v.header.Attributes = firmware::FVB2_ERASE_POLARITY;
  v.header.HeaderLength = sizeof(firmware::FirmwareVolumeHeader) + 2 * sizeof(firmware::FvBlockMapEntry);
  v.header.Revision = firmware::FV_REVISION;
  v.blockMap = {{size / 0x1000, 0x1000}};
  return v;
}

// A PEIM file (or PEI core) around a hand-made image rebased to where it lands.
void AddRunningInPlace(firmware::FirmwareVolume& v, const PiGuid& name, const char* ui, uint8_t type) {
  const std::vector<uint8_t> pe = test_support::BuildPe({.code = {0x31, 0xC0, 0xC3}});
  firmware::FfsFile file = firmware::MakePeimFile(firmware::RebasePe(pe, 0), {name, ui});
  const uint32_t at = *firmware::PlaceForFile(v, file);
  const uint32_t imageAt = at + file.HeaderSize() + firmware::PeimImageOffset(firmware::ReadPe(pe).sectionAlignment);
  file = firmware::MakePeimFile(firmware::RebasePe(pe, PEI_BASE + imageAt), {name, ui});
  file.type = type;
  firmware::AddFile(v, std::move(file));
}

firmware::FfsFile FileOf(const PiGuid& name, uint8_t type, std::vector<uint8_t> data) {
  firmware::FfsFile f;
  f.name = name;
  f.type = type;
  f.data = std::move(data);
  return f;
}

firmware::Section GuidDefined(const PiGuid& guid, uint16_t attributes, std::vector<uint8_t> payload) {
  firmware::Section s;
  s.type = firmware::EFI_SECTION_GUID_DEFINED;
  firmware::GuidDefinedSectionFields fields{guid, sizeof(firmware::CommonSectionHeader) + sizeof fields, attributes};
  firmware::AppendRecord(s.fields, fields);
  s.payload = std::move(payload);
  return s;
}

// The image before the module goes in: 0xFF, the outer volume, 0xFF.
std::vector<uint8_t> BaseImage() {
  firmware::FirmwareVolume pei = EmptyVolume(0x10000);
  AddRunningInPlace(pei, PEI_CORE, "PeiCore", firmware::FV_FILETYPE_PEI_CORE);
  AddRunningInPlace(pei, ALPHA, "Alpha", firmware::FV_FILETYPE_PEIM);
  const std::vector<uint8_t> inner = firmware::WriteSections(
      {firmware::MakeSection(firmware::EFI_SECTION_FIRMWARE_VOLUME_IMAGE, firmware::WriteVolume(pei))});
  const firmware::LzmaAloneHeader props{0x5D, 1u << 16, 0};
  firmware::FirmwareVolume outer = EmptyVolume(0x8000);
  firmware::AddFile(outer, FileOf(RAW_FILE, firmware::FV_FILETYPE_RAW, {1, 2, 3, 4, 5}));
  firmware::AddFile(outer, FileOf(SEALED_FILE, firmware::FV_FILETYPE_FREEFORM,
                                  firmware::WriteSections({GuidDefined(SEALED_SECTION, 1, {9, 9, 9, 9})})));
  firmware::AddFile(outer, FileOf(MAIN_FILE, firmware::FV_FILETYPE_FIRMWARE_VOLUME_IMAGE,
                                  firmware::WriteSections({GuidDefined(firmware::LZMA_SECTION_GUID, 1,
                                                                       firmware::EncodeLzma(inner, props))})));
  std::vector<uint8_t> image(OUTER_AT, 0xFF);
  const std::vector<uint8_t> volume = firmware::WriteVolume(outer);
  image.insert(image.end(), volume.begin(), volume.end());
  image.resize(image.size() + 0x800, 0xFF);
  return image;
}

// The module listed a-priori under its own name, then a second copy under COPY.
std::vector<uint8_t> ImageWith(const std::vector<uint8_t>& efi) {
  firmware::InsertOptions named{efi, {}, true};
  firmware::InsertOptions copy{efi, {COPY, "copy"}, false};
  return firmware::InsertPeim(firmware::InsertPeim(BaseImage(), named).image, copy).image;
}

const std::vector<uint8_t>& ModuleImage() {
  static const std::vector<uint8_t> image = ImageWith(test_support::ShippedModule());
  return image;
}

// The PEI volume decoded by the independent reader.
std::vector<uint8_t> DecodedPeiVolume(std::span<const uint8_t> image) {
  const auto outer = pi_reader::Files(image.subspan(OUTER_AT, 0x8000));
  const auto guided = pi_reader::Sections(outer[2].data);
  const auto inner = pi_reader::Unlzma(guided[0].body.subspan(pi_reader::Le(guided[0].body, 16, 2) - 4));
  const auto body = pi_reader::Sections(inner)[0].body;
  return {body.begin(), body.end()};
}

struct FileSeen {
  PiGuid name;
  uint8_t type;
  std::string ui;
  bool apriori;
  friend bool operator==(const FileSeen&, const FileSeen&) = default;
};

TEST(FirmwareTree, WalksIntoTheCompressedPeiVolumeAndPlacesEveryPeim) {
  const std::vector<uint8_t>& image = ModuleImage();
  const firmware::FirmwareTree tree = firmware::ReadFirmwareTree(image);
  ASSERT_EQ(tree.volumes.size(), 1u);
  const firmware::TreeVolume& outer = tree.volumes[0];
  EXPECT_EQ(outer.offset, OUTER_AT);
  EXPECT_EQ(outer.size, 0x8000u);
  EXPECT_FALSE(outer.base) << "no PEIM of its own tells where it runs";
  ASSERT_EQ(outer.files.size(), 3u);
  EXPECT_EQ(outer.files[0].type, firmware::FV_FILETYPE_RAW);
  EXPECT_TRUE(outer.files[0].sections.empty());
  ASSERT_EQ(outer.files[1].sections.size(), 1u);
  EXPECT_EQ(outer.files[1].sections[0].definition, SEALED_SECTION);
  EXPECT_EQ(outer.files[1].sections[0].unopened, "processed by 33333333-0000-0000-0000-000000000001, not opened");

  const firmware::TreeSection& lzma = outer.files[2].sections.at(0);
  EXPECT_EQ(lzma.definition, firmware::LZMA_SECTION_GUID);
  EXPECT_EQ(lzma.unopened, "");
  ASSERT_EQ(lzma.sections.size(), 1u);
  EXPECT_EQ(lzma.sections[0].type, firmware::EFI_SECTION_FIRMWARE_VOLUME_IMAGE);
  ASSERT_EQ(lzma.sections[0].volumes.size(), 1u);
  const firmware::TreeVolume& pei = lzma.sections[0].volumes[0];
  EXPECT_EQ(pei.offset, 4u) << "after the section's header, in the decoded data";
  EXPECT_EQ(pei.base, PEI_BASE);
  EXPECT_EQ(pei.apriori, std::vector<PiGuid>{firmware::VERIFLASH_PEIM_GUID});

  std::vector<FileSeen> seen;
  for (const firmware::TreeFile& f : pei.files)
    if (f.type != firmware::FV_FILETYPE_FFS_PAD) seen.push_back({f.name, f.type, f.uiName, f.apriori});
  EXPECT_EQ(pei.files[0].index, 3u) << "after the outer volume's three files";
  const std::vector<FileSeen> expected = {
      {PEI_CORE, firmware::FV_FILETYPE_PEI_CORE, "PeiCore", false},
      {ALPHA, firmware::FV_FILETYPE_PEIM, "Alpha", false},
      {firmware::PEI_APRIORI_FILE_GUID, firmware::FV_FILETYPE_FREEFORM, "", false},
      {firmware::VERIFLASH_PEIM_GUID, firmware::FV_FILETYPE_PEIM, "veriflash", true},
      {COPY, firmware::FV_FILETYPE_PEIM, "copy", false},
  };
  EXPECT_EQ(seen, expected);

  // Every in-place address names the bytes of the image stored there.
  const std::vector<uint8_t> decoded = DecodedPeiVolume(image);
  int placed = 0;
  for (const firmware::TreeFile& f : pei.files)
    for (const firmware::TreeSection& s : f.sections) {
      if (s.type != firmware::EFI_SECTION_PE32) continue;
      ASSERT_TRUE(s.inPlaceAddress) << firmware::GuidText(f.name);
      const auto at = std::span<const uint8_t>(decoded).subspan(*s.inPlaceAddress - PEI_BASE);
      EXPECT_EQ(firmware::ReadPe(at).imageBase, *s.inPlaceAddress) << firmware::GuidText(f.name);
      ++placed;
    }
  EXPECT_EQ(placed, 4);
}

TEST(FirmwareTree, RecordsWhatItCannotReadAndGoesOn) {
  struct Case {
    const char* name;
    size_t at;  // from the outer volume's start
    std::string volumeError;
    std::string lzmaUnopened;
  };
  const std::vector<uint8_t> base = BaseImage();
  const auto files = pi_reader::Files(std::span<const uint8_t>(base).subspan(OUTER_AT, 0x8000));
  const size_t streamAt = files[2].offset + pi_reader::FILE_HEADER + 24;  // after the GUID-defined section's header
  const std::vector<Case> cases = {
      {"RAW file's header checksum", files[0].offset + pi_reader::FILE_CHECKSUM_AT, "header checksum", ""},
      {"LZMA stream's uncompressed size", streamAt + 5, "", "LZMA stream: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image = base;
    image[OUTER_AT + c.at] ^= 0x55;
    firmware::FirmwareTree tree;
    ASSERT_NO_THROW(tree = firmware::ReadFirmwareTree(image));
    ASSERT_EQ(tree.volumes.size(), 1u);
    const firmware::TreeVolume& v = tree.volumes[0];
    if (!c.volumeError.empty()) {
      EXPECT_NE(v.error.find(c.volumeError), std::string::npos) << v.error;
      EXPECT_TRUE(v.files.empty());
      continue;
    }
    EXPECT_EQ(v.error, "");
    const firmware::TreeSection& lzma = v.files.at(2).sections.at(0);
    EXPECT_EQ(lzma.unopened.rfind(c.lzmaUnopened, 0), 0u) << lzma.unopened;
    EXPECT_TRUE(lzma.sections.empty());
  }
}

TEST(FirmwareModules, FindsEachCopyByNameOrByItsBytes) {
  std::vector<uint8_t> faulting = test_support::ShippedModule();
  const firmware::PeInfo info = firmware::ReadPe(faulting);
  faulting[info.entryRva] = 0x0F;  // ud2 at the entry
  faulting[info.entryRva + 1] = 0x0B;
  const std::vector<uint8_t> faultingImage = ImageWith(faulting);

  struct Expected {
    PiGuid file;
    std::string ui;
    bool preMemory;
    std::optional<bool> identical;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    std::span<const uint8_t> shipped;
    std::vector<Expected> modules;
  };
  const PiGuid MODULE = firmware::VERIFLASH_PEIM_GUID;
  const std::vector<Case> cases = {
      {"shipped copies", ModuleImage(), test_support::ShippedModule(),
       {{MODULE, "veriflash", true, true}, {COPY, "copy", false, true}}},
      {"no shipped build to compare", ModuleImage(), {}, {{MODULE, "veriflash", true, std::nullopt}}},
      {"faulting copies: only the named one", faultingImage, test_support::ShippedModule(),
       {{MODULE, "veriflash", true, false}}},
      {"no module", BaseImage(), test_support::ShippedModule(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<firmware::FirmwareModule> found = firmware::FindModulesInFirmware(c.image, c.shipped);
    const firmware::FirmwareTree tree = firmware::ReadFirmwareTree(c.image);
    ASSERT_EQ(found.size(), c.modules.size());
    for (size_t i = 0; i < found.size(); ++i) {
      const firmware::FirmwareModule& m = found[i];
      EXPECT_EQ(m.file, c.modules[i].file);
      EXPECT_EQ(tree.volumes[0].files[2].sections[0].sections[0].volumes[0].files.at(m.fileIndex - 3).name, m.file);
      EXPECT_EQ(m.uiName, c.modules[i].ui);
      EXPECT_EQ(m.preMemory, c.modules[i].preMemory);
      EXPECT_EQ(m.identicalToShipped, c.modules[i].identical);
      EXPECT_EQ(m.unusable, "");
      ASSERT_TRUE(m.inPlaceKnown);
      EXPECT_EQ(firmware::ReadPe(m.pe32).imageBase, m.imageBase);
      EXPECT_EQ(m.entry, m.imageBase + info.entryRva);
      // The main file follows a 72-byte volume header, the RAW file (24 + 5
      // bytes) and the sealed one (24 + 28), each at an 8-byte boundary.
      EXPECT_EQ(m.path, (std::vector<std::string>{"volume at 0x1000", "file 22222222-0000-0000-0000-000000000003 at 0xA0",
                                                  "LZMA section", "volume section at 0x4"}));
    }
  }
}

}  // namespace
