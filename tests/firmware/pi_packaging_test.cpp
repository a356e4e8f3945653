// The module's PEIM file and its insertion into Debian's OVMF IA-32, read
// back by an independent reader (pi_reader.h) and liblzma's decoder: headers,
// checksums, section order and alignment, the rebased image, the a-priori
// list; and volumes that write back byte for byte when nothing changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "firmware/ffs_file.h"
#include "firmware/firmware_volume.h"
#include "firmware/pe_image.h"
#include "firmware/pei_insert.h"
#include "firmware/peim_file.h"
#include "firmware/firmware_error.h"
#include "tests/firmware/pi_reader.h"
#include "tests/support/error_message.h"
#include "tests/support/pe_recipe.h"
#include "tests/support/shipped_module.h"

namespace {

using pi_reader::Le;

const char* const OVMF_CODE = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";

// aa639189-75ff-4fb1-bafc-250c14a28657 as stored.
const std::vector<uint8_t> MODULE_GUID = {0x89, 0x91, 0x63, 0xAA, 0xFF, 0x75, 0xB1, 0x4F,
                                          0xBA, 0xFC, 0x25, 0x0C, 0x14, 0xA2, 0x86, 0x57};
// 1b45cc0a-156a-428a-af62-49864da0e6e6, the PEI a-priori file.
const std::vector<uint8_t> APRIORI_GUID = {0x0A, 0xCC, 0x45, 0x1B, 0x6A, 0x15, 0x8A, 0x42,
                                           0xAF, 0x62, 0x49, 0x86, 0x4D, 0xA0, 0xE6, 0xE6};
const std::vector<uint8_t> PAD_NAME(16, 0xFF);

std::vector<uint8_t> ReadOvmf() {
  std::ifstream in(OVMF_CODE, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The sections of a PEIM file as type list, checking their payloads.
void ExpectModulePeim(const pi_reader::File& file, size_t dataAt, uint32_t expectedBase) {
  EXPECT_EQ(file.name, MODULE_GUID);
  EXPECT_EQ(file.type, 0x06);
  EXPECT_EQ(file.attributes, 0x40 | 2 << 3);  // data checksum; data aligned to 128 bytes, the first step >= 32
  EXPECT_EQ(dataAt % 128, 0u);
  const auto sections = pi_reader::Sections(file.data);
  std::vector<uint8_t> types;
  for (const auto& s : sections) types.push_back(s.type);
  ASSERT_EQ(types, (std::vector<uint8_t>{0x1B, 0x19, 0x10, 0x15}));  // depex, pad, PE32, user interface
  EXPECT_EQ(std::vector<uint8_t>(sections[0].body.begin(), sections[0].body.end()), (std::vector<uint8_t>{0x06, 0x08}));
  const size_t imageAt = dataAt + sections[2].offset + 4;
  EXPECT_EQ(imageAt % 32, 0u) << "PE32 image not at the module's section alignment";
  const firmware::PeInfo info = firmware::ReadPe(sections[2].body);
  EXPECT_EQ(info.imageBase, expectedBase == 0 ? 0 : expectedBase + imageAt);
  const std::vector<uint8_t> expected = firmware::RebasePe(test_support::ShippedModule(), info.imageBase);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sections[2].body.begin(), sections[2].body.end()));
  const std::string name("v\0e\0r\0i\0f\0l\0a\0s\0h\0\0\0", 20);  // UCS-2, zero-terminated
  EXPECT_EQ(std::string(sections[3].body.begin(), sections[3].body.end()), name);
}

TEST(PeimFile, ReadsBackWithItsChecksumsSectionsAndAlignedImage) {
  const firmware::FfsFile file = firmware::MakePeimFile(test_support::ShippedModule(), {});
  const std::vector<uint8_t> bytes = firmware::WriteFfsFile(file, true);
  EXPECT_EQ(Le(bytes, pi_reader::FILE_SIZE_AT, 3), bytes.size());
  EXPECT_EQ(bytes[pi_reader::FILE_STATE_AT], 0xF8);  // construction, header and data valid, inverted
  uint8_t headerSum = 0, dataSum = 0;
  for (size_t i = 0; i < pi_reader::FILE_HEADER; ++i)
    if (i != pi_reader::FILE_DATA_CHECKSUM_AT && i != pi_reader::FILE_STATE_AT) headerSum += bytes[i];
  for (size_t i = pi_reader::FILE_HEADER; i < bytes.size(); ++i) dataSum += bytes[i];
  EXPECT_EQ(headerSum, 0);
  EXPECT_EQ(static_cast<uint8_t>(dataSum + bytes[pi_reader::FILE_DATA_CHECKSUM_AT]), 0);
  pi_reader::File read{0, {bytes.begin(), bytes.begin() + 16}, bytes[pi_reader::FILE_TYPE_AT],
                       bytes[pi_reader::FILE_ATTRIBUTES_AT], bytes[pi_reader::FILE_STATE_AT],
                       std::span<const uint8_t>(bytes).subspan(pi_reader::FILE_HEADER)};
  ExpectModulePeim(read, 0, 0);  // relative to a data start aligned to 128
}

class Ovmf : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(OVMF_CODE)) GTEST_SKIP() << OVMF_CODE << " is absent: install Debian's ovmf-ia32";
    code_ = ReadOvmf();
  }
  std::vector<uint8_t> code_;
};

// FVMAIN_COMPACT, SECFV, and the PEIFV and DXEFV inside the LZMA section:
// each parses and writes back to its own bytes.
TEST_F(Ovmf, EveryVolumeWritesBackByteForByte) {
  std::vector<std::span<const uint8_t>> volumes;
  for (size_t at = 0; at < code_.size(); at += Le(code_, at + pi_reader::FV_LENGTH_AT, 4))
    volumes.push_back(std::span<const uint8_t>(code_).subspan(at, Le(code_, at + pi_reader::FV_LENGTH_AT, 4)));
  ASSERT_EQ(volumes.size(), 2u);
  const auto files = pi_reader::Files(volumes[0]);
  ASSERT_EQ(files.size(), 2u);  // the pad file holding the extended header, the compressed volume file
  const auto guided = pi_reader::Sections(files[1].data);
  const size_t payloadAt = Le(guided[0].body, 16, 2) - 4;
  const std::vector<uint8_t> inner = pi_reader::Unlzma(guided[0].body.subspan(payloadAt));
  for (const auto& s : pi_reader::Sections(inner))
    if (s.type == 0x17) volumes.push_back(s.body);
  ASSERT_EQ(volumes.size(), 4u);
  for (const auto& v : volumes) {
    SCOPED_TRACE(v.size());
    const std::vector<uint8_t> written = firmware::WriteVolume(firmware::ReadVolume(v));
    EXPECT_TRUE(std::equal(written.begin(), written.end(), v.begin(), v.end()));
  }
}

TEST_F(Ovmf, ModuleListedFirstLiesInPeifvRebasedWithEveryChecksumRight) {
  firmware::InsertOptions options;
  options.module = test_support::ShippedModule();
  options.preMemory = true;
  const firmware::InsertResult result = firmware::InsertPeim(code_, options);
  ASSERT_EQ(result.image.size(), code_.size());
  const size_t secfv = Le(code_, pi_reader::FV_LENGTH_AT, 4);
  EXPECT_TRUE(std::equal(code_.begin() + secfv, code_.end(), result.image.begin() + secfv)) << "SECFV changed";

  const auto outer = pi_reader::Files(std::span<const uint8_t>(result.image).first(secfv));
  ASSERT_EQ(outer.size(), 2u);
  const auto guided = pi_reader::Sections(outer[1].data);
  ASSERT_EQ(guided.size(), 1u);
  const auto stream = guided[0].body.subspan(Le(guided[0].body, 16, 2) - 4);
  const std::vector<uint8_t> inner = pi_reader::Unlzma(stream);
  ASSERT_FALSE(inner.empty());
  EXPECT_EQ(Le(stream, 5, 4), inner.size()) << "the LZMA header's size";
  EXPECT_EQ(Le(stream, 9, 4), 0u);
  EXPECT_EQ(stream[0], 0x5D);                        // lc 3, lp 0, pb 2, as the original
  EXPECT_EQ(Le(stream, 1, 4), 0x1000000u);           // its dictionary size
  const auto payload = pi_reader::Sections(inner);
  ASSERT_EQ(payload.size(), 4u);
  const auto peifv = payload[1].body;
  EXPECT_EQ(peifv.size(), 0xE0000u);

  const auto files = pi_reader::Files(peifv);
  ASSERT_GE(files.size(), 3u);
  // The old a-priori file became a pad file in place; the new one, and the
  // module behind a pad file for its alignment, follow the last PEIM.
  EXPECT_EQ(files[1].offset, 0x78u);
  EXPECT_EQ(files[1].name, PAD_NAME);
  EXPECT_EQ(files[1].type, 0xF0);
  const auto& apriori = files[files.size() - 3];
  const auto& pad = files[files.size() - 2];
  const auto& module = files.back();
  EXPECT_EQ(apriori.name, APRIORI_GUID);
  EXPECT_EQ(apriori.type, 0x02);
  const auto list = pi_reader::Sections(apriori.data);
  ASSERT_EQ(list.size(), 1u);
  ASSERT_EQ(list[0].body.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(list[0].body.begin() + 16, list[0].body.end()), MODULE_GUID);
  EXPECT_EQ(pad.type, 0xF0);
  EXPECT_EQ(pad.offset + pad.data.size() + pi_reader::FILE_HEADER, module.offset);
  ExpectModulePeim(module, module.offset + pi_reader::FILE_HEADER, 0x820000);  // PEIFV runs at 0x820000
  EXPECT_EQ(result.report.imageAddress, 0x820000 + module.offset + pi_reader::FILE_HEADER + 32);
}

TEST_F(Ovmf, RefusesAModuleTooBigForTheFreeSpaceAndAFirmwareWithoutPeiVolume) {
  firmware::InsertOptions options;
  test_support::PeRecipe big;
  big.code.assign(0xC0000, 0x90);  // more than PEIFV's 0xB8DC8 free bytes
  options.module = test_support::BuildPe(big);
  const std::string full = test_support::ErrorMessage<firmware::FirmwareError>([&] { firmware::InsertPeim(code_, options); });
  EXPECT_TRUE(full.starts_with("volume at 0x0 > file 9e21fd93-9c72-4c15-8c4b-e77f1db2d792 (type 0x0B) at 0x78 > LZMA "
                               "section > firmware volume section: not enough free space in the PEI volume: the "
                               "module's file needs 0xC0"))
      << full;
  EXPECT_TRUE(full.ends_with(" bytes with its alignment, 0xB8DC8 are free")) << full;

  const size_t secfv = Le(code_, pi_reader::FV_LENGTH_AT, 4);
  options.module = test_support::ShippedModule();
  EXPECT_EQ(test_support::ErrorMessage<firmware::FirmwareError>(
                [&] { firmware::InsertPeim(std::span<const uint8_t>(code_).subspan(secfv), options); }),
            "no PEI volume: no firmware volume here holds a PEI core, directly or in a compressed section");
}

}  // namespace
