#include "firmware/lzma_stream.h"

#include <lzma.h>

#include <algorithm>
#include <memory>

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pi_layout.h"

namespace firmware {

using common::Hex;

namespace {

// The largest section payload a firmware image holds: nothing in a flash
// part decompresses to more than this.
constexpr uint64_t MAX_UNCOMPRESSED = 256u << 20;
constexpr uint64_t UNKNOWN_SIZE = ~uint64_t{0};
// Firmware builds compress with a 16 MiB dictionary (OVMF's streams say
// 0x1000000) and the firmware's decoder provides no more.
constexpr uint32_t FIRMWARE_DICTIONARY = 16u << 20;
// liblzma's own allowance beside the dictionary and the probability tables.
constexpr uint64_t DECODER_OVERHEAD = 1u << 20;
// liblzma's own encoding of lc, lp and pb in the properties byte.
constexpr uint8_t PROPERTY_LC_LP = 9, PROPERTY_PB = 45;

struct StreamEnd {
  void operator()(lzma_stream* s) const { lzma_end(s); }
};

// What liblzma's result means for the stream, in words.
const char* Trouble(lzma_ret ret) {
  switch (ret) {
    case LZMA_DATA_ERROR: return "is corrupt";
    case LZMA_BUF_ERROR: return "ends before its data does";
    case LZMA_FORMAT_ERROR: return "has a header liblzma does not take as an LZMA stream";
    case LZMA_OPTIONS_ERROR: return "has properties liblzma does not support";
    case LZMA_MEMLIMIT_ERROR: return "needs more memory than its dictionary allows";
    case LZMA_MEM_ERROR: return "cannot get the memory it needs";
    default: return "is refused by liblzma";
  }
}

[[noreturn]] void Refuse(const char* what, lzma_ret ret, const lzma_stream& strm) {
  throw FirmwareError(std::string(what) + " " + Trouble(ret) + " at byte " + Hex(strm.total_in) + " of " +
                      Hex(strm.total_in + strm.avail_in) + " (" + Hex(strm.total_out) + " bytes decoded)");
}

// Runs `strm` over `input` to the stream's end, appending to `out`.
void RunToEnd(lzma_stream& strm, std::span<const uint8_t> input, std::vector<uint8_t>& out, const char* what) {
  strm.next_in = input.data();
  strm.avail_in = input.size();
  for (;;) {
    if (out.size() - strm.total_out < 1 << 16) out.resize(out.size() + (1 << 20));
    strm.next_out = out.data() + strm.total_out;
    strm.avail_out = out.size() - strm.total_out;
    const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) Refuse(what, ret, strm);
    if (strm.total_out > MAX_UNCOMPRESSED + (1 << 20))
      throw FirmwareError(std::string(what) + " produced more than " + Hex(MAX_UNCOMPRESSED) + " bytes");
  }
  out.resize(strm.total_out);
}

// A stream never refers further back than the data it has produced: the
// dictionary it needs is the smaller of the one it names and its declared
// size, so that is all the decoder gets, whatever the machine has.
uint32_t DictionaryNeeded(const LzmaAloneHeader& header) {
  const uint64_t size = header.UncompressedSize;  // a copy: the header is packed
  const uint64_t named = header.DictionarySize;
  const uint64_t needed = size == UNKNOWN_SIZE ? named : std::min(named, size);
  return static_cast<uint32_t>(std::max<uint64_t>(needed, LZMA_DICT_SIZE_MIN));
}

}  // namespace

LzmaStream DecodeLzma(std::span<const uint8_t> stream) {
  if (stream.size() < sizeof(LzmaAloneHeader)) throw FirmwareError("LZMA stream shorter than its header");
  LzmaStream result;
  result.header = ReadRecord<LzmaAloneHeader>(stream, 0);
  const uint64_t size = result.header.UncompressedSize;
  if (size != UNKNOWN_SIZE && size > MAX_UNCOMPRESSED)
    throw FirmwareError("LZMA stream claims " + Hex(size) + " uncompressed bytes");
  const uint32_t dictionary = result.header.DictionarySize;
  if (dictionary > FIRMWARE_DICTIONARY)
    throw FirmwareError("LZMA stream asks for a dictionary of " + Hex(dictionary) + " bytes, more than the " +
                        Hex(FIRMWARE_DICTIONARY) + " a firmware decoder provides");
  // liblzma takes the dictionary size from the header it reads: a copy names the one needed.
  const uint32_t needed = DictionaryNeeded(result.header);
  std::vector<uint8_t> given(stream.begin(), stream.end());
  WriteRecord<uint32_t>(given, offsetof(LzmaAloneHeader, DictionarySize), needed);
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&strm, needed + DECODER_OVERHEAD) != LZMA_OK)
    throw FirmwareError("liblzma cannot start a decoder");
  std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
  RunToEnd(strm, given, result.data, "LZMA stream");
  if (size != UNKNOWN_SIZE && result.data.size() != size)
    throw FirmwareError("LZMA stream decodes to " + Hex(result.data.size()) + " bytes, its header says " + Hex(size));
  return result;
}

std::vector<uint8_t> EncodeLzma(std::span<const uint8_t> data, const LzmaAloneHeader& like) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, LZMA_PRESET_DEFAULT)) throw FirmwareError("liblzma has no default preset");
  const uint8_t properties = like.Properties;
  if (properties >= PROPERTY_PB * 5) throw FirmwareError("LZMA properties byte " + Hex(properties, 2) + " is invalid");
  options.lc = properties % PROPERTY_LC_LP;
  options.lp = properties / PROPERTY_LC_LP % 5;
  options.pb = properties / PROPERTY_PB;
  options.dict_size = like.DictionarySize;
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
    throw FirmwareError("liblzma refuses the stream's properties " + Hex(properties, 2) + " and dictionary size " +
                        Hex(like.DictionarySize));
  std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
  std::vector<uint8_t> out;
  RunToEnd(strm, data, out, "LZMA encoder");
  if (out.size() < sizeof(LzmaAloneHeader)) throw FirmwareError("liblzma wrote no header");
  WriteRecord<uint64_t>(out, offsetof(LzmaAloneHeader, UncompressedSize), data.size());
  return out;
}

}  // namespace firmware
