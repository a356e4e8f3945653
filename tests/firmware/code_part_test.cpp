// The checks of a firmware code part and its variable store on Debian's OVMF
// IA-32, damaged the ways a flash or a download damages it: every refusal
// names the volume, the offset, the field and what was expected. Offsets and
// values below were read off the files by hand (two volumes, 0x0 and
// 0x348000; the second one's files at 0x48, 0x78, 0x2F38, 0x33A88).
#include "firmware/code_part.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "firmware/firmware_error.h"
#include "tests/support/error_message.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const OVMF_CODE = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const char* const OVMF_VARS = "/usr/share/OVMF/OVMF32_VARS_4M.fd";
constexpr size_t RESET_VOLUME = 0x348000;
constexpr size_t CHECKSUM_AT = 50;

Bytes Read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets the 16-bit word at `volume + at` and moves the header checksum by the
// difference, so that only the field itself is wrong.
void SetWordKeepingSum(Bytes& b, size_t volume, size_t at, uint16_t value) {
  uint16_t old, checksum;
  std::memcpy(&old, &b[volume + at], 2);
  std::memcpy(&checksum, &b[volume + CHECKSUM_AT], 2);
  checksum = static_cast<uint16_t>(checksum + old - value);
  std::memcpy(&b[volume + at], &value, 2);
  std::memcpy(&b[volume + CHECKSUM_AT], &checksum, 2);
}

class OvmfParts : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(OVMF_CODE) || !std::filesystem::exists(OVMF_VARS))
      GTEST_SKIP() << OVMF_CODE << " or " << OVMF_VARS << " is absent: install Debian's ovmf-ia32";
    code_ = Read(OVMF_CODE);
    vars_ = Read(OVMF_VARS);
  }
  Bytes code_, vars_;
};

TEST_F(OvmfParts, DamagedCodePartsAreRefusedNamingVolumeFieldAndExpectation) {
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::string reason;  // empty: accepted
  } cases[] = {
      {"as shipped", [](Bytes&) {}, ""},
      {"cut where the reset volume starts", [](Bytes& b) { b.resize(RESET_VOLUME); },
       "volume at 0x0: the last file ends at 0x16E766, not at the volume's end 0x348000 where the reset vector lies; "
       "the code part is cut short"},
      {"cut after the reset volume's header", [](Bytes& b) { b.resize(RESET_VOLUME + 0x48); },
       "volume at 0x348000: FvLength 0x34000 runs past the end of the file (0x48 bytes left)"},
      {"one byte short", [](Bytes& b) { b.pop_back(); },
       "volume at 0x348000: FvLength 0x34000 runs past the end of the file (0x33FFF bytes left)"},
      {"eight bytes more", [](Bytes& b) { b.resize(b.size() + 8, 0xFF); },
       "volume at 0x37C000: volume header cut off: 0x8 bytes left, the header takes 0x38"},
      {"signature XXXX", [](Bytes& b) { std::memcpy(&b[RESET_VOLUME + 40], "XXXX", 4); },
       "volume at 0x348000: signature 0x58585858, expected 0x4856465F (\"_FVH\")"},
      {"checksum field flipped", [](Bytes& b) { b[RESET_VOLUME + CHECKSUM_AT] ^= 0x01; },
       "volume at 0x348000: header checksum 0xA639, expected 0xA638"},
      {"attribute bit flipped", [](Bytes& b) { b[RESET_VOLUME + 44] ^= 0x01; },
       "volume at 0x348000: header checksum 0xA638, expected 0xA639"},
      {"FvLength past the file, checksum kept", [](Bytes& b) { SetWordKeepingSum(b, 0, 34, 0x0040); },
       "volume at 0x0: FvLength 0x408000 runs past the end of the file (0x37C000 bytes left)"},
      {"file name byte flipped", [](Bytes& b) { b[RESET_VOLUME + 0x78] ^= 0xFF; },
       "volume at 0x348000: file at 0x78: header checksum 0x0A, expected 0xF7"},
      {"erase polarity 0, checksum kept", [](Bytes& b) { SetWordKeepingSum(b, RESET_VOLUME, 44, 0xF6FF); },
       "volume at 0x348000: file at 0x48: state 0xF8 does not read as a written header, which it does with the "
       "other erase polarity: attributes 0x0004F6FF give the volume the wrong polarity"},
      {"empty", [](Bytes& b) { b.clear(); }, "the code part is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes code = code_;
    c.damage(code);
    const std::string message =
        test_support::ErrorMessage<firmware::FirmwareError>([&] { firmware::CheckCodePart(code); });
    EXPECT_EQ(message, c.reason.empty() ? "(nothing thrown)" : c.reason);
  }
}

TEST_F(OvmfParts, StoresThatDoNotBelongToTheCodePartAreRefused) {
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    std::string reason;
  } cases[] = {
      {"as shipped", [](Bytes&) {}, ""},
      {"another build's 128 KiB store", [](Bytes& b) { b.resize(0x20000); },
       "store of 0x20000 bytes, expected 0x84000 to fill a flash part of 0x400000 with the code part's 0x37C000"},
      {"one byte", [](Bytes& b) { b.assign(1, 0x5A); },
       "store of 0x1 bytes, expected 0x84000 to fill a flash part of 0x400000 with the code part's 0x37C000"},
      {"zeros of the right size", [](Bytes& b) { std::fill(b.begin(), b.end(), 0); },
       "volume at 0x0: signature 0x00000000, expected 0x4856465F (\"_FVH\")"},
      {"file system GUID changed, checksum kept", [](Bytes& b) { SetWordKeepingSum(b, 0, 16, 0x2B8C); },
       "volume at 0x0: file system fff12b8c-7696-4c8b-a985-2747075b4f50, expected the variable store's "
       "fff12b8d-7696-4c8b-a985-2747075b4f50"},
      {"FvLength short of the store, checksum kept", [](Bytes& b) { SetWordKeepingSum(b, 0, 32, 0x0000); },
       "volume at 0x0: FvLength 0x80000, expected the whole store, 0x84000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes vars = vars_;
    c.damage(vars);
    const std::string message =
        test_support::ErrorMessage<firmware::FirmwareError>([&] { firmware::CheckVariableStore(vars, code_.size()); });
    EXPECT_EQ(message, c.reason.empty() ? "(nothing thrown)" : c.reason);
  }
}

}  // namespace
