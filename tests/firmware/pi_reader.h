// An independent reader of PI firmware volumes, files and sections for the
// packaging tests: written from the public layouts apart from firmware/, so
// that a mistake there is not repeated here. It checks every checksum it
// passes and records what it finds.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pi_reader {

// Byte offsets in the public layouts.
constexpr size_t FV_LENGTH_AT = 32, FV_SIGNATURE_AT = 40, FV_ATTRIBUTES_AT = 44, FV_HEADER_LENGTH_AT = 48;
constexpr size_t FILE_HEADER = 24, FILE_CHECKSUM_AT = 16, FILE_DATA_CHECKSUM_AT = 17, FILE_TYPE_AT = 18,
                 FILE_ATTRIBUTES_AT = 19, FILE_SIZE_AT = 20, FILE_STATE_AT = 23;
constexpr size_t GUIDED_DATA_OFFSET_AT = 20;  // in a GUID-defined section, after its 4-byte header and GUID

inline uint32_t Le(std::span<const uint8_t> b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

struct File {
  size_t offset;  // in the volume
  std::vector<uint8_t> name;
  uint8_t type, attributes, state;
  std::span<const uint8_t> data;
};

struct Section {
  size_t offset;  // in the data it was read from
  uint8_t type;
  std::span<const uint8_t> body;  // after the 4-byte header
};

// The files of the volume at the start of `fv`; every header and data
// checksum and the volume header's checksum are checked with EXPECTs.
inline std::vector<File> Files(std::span<const uint8_t> fv) {
  std::vector<File> files;
  EXPECT_EQ(Le(fv, FV_SIGNATURE_AT, 4), 0x4856465Fu);  // "_FVH"
  const size_t length = Le(fv, FV_LENGTH_AT, 4), headerLength = Le(fv, FV_HEADER_LENGTH_AT, 2);
  uint16_t sum16 = 0;
  for (size_t i = 0; i < headerLength; i += 2) sum16 = static_cast<uint16_t>(sum16 + Le(fv, i, 2));
  EXPECT_EQ(sum16, 0) << "volume header checksum";
  const bool inverted = (Le(fv, FV_ATTRIBUTES_AT, 4) & 0x800) != 0;
  for (size_t at = (headerLength + 7) & ~size_t{7}; at + FILE_HEADER <= length; at = (at + 7) & ~size_t{7}) {
    bool erased = true;
    for (size_t i = 0; i < FILE_HEADER; ++i) erased = erased && fv[at + i] == (inverted ? 0xFF : 0x00);
    if (erased) break;
    const size_t size = Le(fv, at + FILE_SIZE_AT, 3);
    if (size < FILE_HEADER || at + size > length) {
      ADD_FAILURE() << "file at " << at << " has size " << size;
      break;
    }
    uint8_t headerSum = 0;
    for (size_t i = 0; i < FILE_HEADER; ++i)
      if (i != FILE_DATA_CHECKSUM_AT && i != FILE_STATE_AT) headerSum = static_cast<uint8_t>(headerSum + fv[at + i]);
    EXPECT_EQ(headerSum, 0) << "header checksum of the file at " << at;
    File f{at, {fv.begin() + at, fv.begin() + at + 16}, fv[at + FILE_TYPE_AT], fv[at + FILE_ATTRIBUTES_AT],
           fv[at + FILE_STATE_AT], fv.subspan(at + FILE_HEADER, size - FILE_HEADER)};
    uint8_t dataSum = fv[at + FILE_DATA_CHECKSUM_AT];
    for (uint8_t b : f.data) dataSum = static_cast<uint8_t>(dataSum + b);
    if (f.attributes & 0x40)
      EXPECT_EQ(dataSum, 0) << "data checksum of the file at " << at;
    else
      EXPECT_EQ(fv[at + FILE_DATA_CHECKSUM_AT], 0xAA) << "fixed data checksum of the file at " << at;
    files.push_back(f);
    at += size;
  }
  return files;
}

inline std::vector<Section> Sections(std::span<const uint8_t> data) {
  std::vector<Section> sections;
  for (size_t at = 0; at + 4 <= data.size(); at = (at + 3) & ~size_t{3}) {
    const size_t size = Le(data, at, 3);
    if (size < 4 || at + size > data.size()) {
      ADD_FAILURE() << "section at " << at << " has size " << size;
      break;
    }
    sections.push_back({at, data[at + 3], data.subspan(at + 4, size - 4)});
    at += size;
  }
  return sections;
}

// liblzma's own decoder, in one call; empty when the stream does not decode.
inline std::vector<uint8_t> Unlzma(std::span<const uint8_t> stream) {
  std::vector<uint8_t> out(64u << 20);
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&strm, UINT64_MAX) != LZMA_OK) return {};
  strm.next_in = stream.data();
  strm.avail_in = stream.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
  out.resize(strm.total_out);
  lzma_end(&strm);
  return ret == LZMA_STREAM_END ? out : std::vector<uint8_t>{};
}

}  // namespace pi_reader
