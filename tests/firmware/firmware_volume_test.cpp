// Erase polarity: a volume whose erased bytes read 0x00 reads back as
// written, and a volume whose attributes name the wrong polarity is refused
// with that cause, wherever the reader first meets it (a file's state, or
// free space of the other erased byte).
#include "firmware/firmware_volume.h"

#include <gtest/gtest.h>

#include <cstring>

#include "firmware/firmware_error.h"
#include "tests/support/error_message.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t ATTRIBUTES_AT = 44, CHECKSUM_AT = 50;

// A 4 KiB volume, with one RAW file of 0x100 bytes of 0x5A or empty.
Bytes Volume(bool erasePolarity, bool withFile = true) {
  firmware::FirmwareVolume v;
  v.header.FileSystemGuid = firmware::FFS2_FILE_SYSTEM_GUID;
  v.header.FvLength = 0x1000;
  v.header.Signature = firmware::FV_SIGNATURE;
  v.header.Attributes = erasePolarity ? firmware::FVB2_ERASE_POLARITY : 0;
  v.header.HeaderLength = 72;
  v.header.Revision = firmware::FV_REVISION;
  v.blockMap = {{1, 0x1000}};
  firmware::FfsFile file;
  file.name.bytes[0] = 0x11;
  file.type = firmware::FV_FILETYPE_RAW;
  file.data.assign(0x100, 0x5A);
  if (withFile) firmware::AddFile(v, std::move(file));
  return firmware::WriteVolume(v);
}

// Flips the erase polarity bit and moves the checksum with it.
Bytes WithPolarityFlipped(Bytes b) {
  uint16_t word, checksum;
  std::memcpy(&word, &b[ATTRIBUTES_AT], 2);
  std::memcpy(&checksum, &b[CHECKSUM_AT], 2);
  const uint16_t flipped = word ^ firmware::FVB2_ERASE_POLARITY;
  checksum = static_cast<uint16_t>(checksum + word - flipped);
  std::memcpy(&b[ATTRIBUTES_AT], &flipped, 2);
  std::memcpy(&b[CHECKSUM_AT], &checksum, 2);
  return b;
}

TEST(FirmwareVolume, ReadsEitherPolarityAndNamesAWrongOne) {
  const struct {
    const char* name;
    Bytes volume;
    std::string reason;  // empty: reads back its one file
  } cases[] = {
      {"erased bytes 0x00", Volume(false), ""},
      {"erased bytes 0xFF", Volume(true), ""},
      // The file's stored state 0xF8 is 0x07 only when inverted.
      {"written with 0xFF, attributes say 0x00", WithPolarityFlipped(Volume(true)),
       "file at 0x48: state 0xF8 does not read as a written header, which it does with the other erase polarity: "
       "attributes 0x00000000 give the volume the wrong polarity"},
      {"written with 0x00, attributes say 0xFF", WithPolarityFlipped(Volume(false)),
       "file at 0x48: state 0xF8 does not read as a written header, which it does with the other erase polarity: "
       "attributes 0x00000800 give the volume the wrong polarity"},
      // No file: the reader meets free space of the other erased byte first.
      {"empty, written with 0xFF, attributes say 0x00", WithPolarityFlipped(Volume(true, false)),
       "attributes 0x00000000 say erased bytes read 0x00, but the volume's free space from 0x48 reads 0xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    firmware::FirmwareVolume read;
    const std::string message =
        test_support::ErrorMessage<firmware::FirmwareError>([&] { read = firmware::ReadVolume(c.volume); });
    if (c.reason.empty()) {
      EXPECT_EQ(message, "(nothing thrown)");
      ASSERT_EQ(read.files.size(), 1u);
      EXPECT_EQ(read.files[0].offset, 0x48u);
      EXPECT_EQ(read.files[0].data, Bytes(0x100, 0x5A));
      EXPECT_EQ(firmware::WriteVolume(read), c.volume);
    } else {
      EXPECT_EQ(message, c.reason);
    }
  }
}

}  // namespace
