// Any access log: the decoder turns it into messages and errors without
// failing, every message is made of writes into its own channel window in log
// order, its fields fit its payload, and where a CRC was sent the CRC it
// computed is zlib's CRC-32 of the header and the bytes before the CRC.
//
// Input: records of 12 bytes, one access each: kind (bits 0-2; bit 6 set:
// the raw address below, else a channel register), width, offset within a
// channel window, master (bits 4-5) and channel (bits 0-1) above the first
// master, value (4 bytes), raw address (4 bytes).
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/target_support.h"
#include "vplat/devices/trace_decoder.h"
#include "vplat/devices/trace_hub.h"

namespace {

using fuzz::Require;
using fuzz::Word;

using vplat::Access;

constexpr size_t RECORD_SIZE = 12;

Access Decode(const uint8_t* r) {
  Access a{static_cast<vplat::AccessKind>((r[0] & 7) % 6)};
  a.width = r[1];
  a.value = Word(r + 4);
  a.address = (r[0] & 0x40) != 0
                  ? Word(r + 8)
                  : vplat::TraceChannelWindow(vplat::TRACE_HUB_FIRST_MASTER + (r[3] >> 4 & 3), r[3] & 3) +
                        r[2] % vplat::TRACE_HUB_CHANNEL_WINDOW;
  return a;
}

// The message's data bytes in the order written.
std::vector<uint8_t> DataBytes(const vplat::TraceMessage& m) {
  std::vector<uint8_t> bytes;
  for (const auto& w : m.writes)
    if (w.offset == vplat::TRACE_HUB_CHANNEL_DATA)
      for (uint8_t i = 0; i < w.width; ++i) bytes.push_back(static_cast<uint8_t>(w.value >> (8 * i)));
  return bytes;
}

void CheckMessage(const vplat::TraceMessage& m, const std::vector<Access>& log) {
  Require(!m.writes.empty());
  for (size_t i = 0; i < m.writes.size(); ++i) {
    const auto& w = m.writes[i];
    Require(w.index < log.size() && log[w.index].kind == vplat::AccessKind::MmioWrite);
    Require(log[w.index].address == vplat::TraceChannelWindow(m.master, m.channel) + w.offset);
    Require(i == 0 || w.index > m.writes[i - 1].index);
    // Data registers take 8, 16 or 32 bits; start and end 32.
    Require(w.offset == vplat::TRACE_HUB_CHANNEL_DATA ? w.width == 1 || w.width == 2 || w.width == 4 : w.width == 4);
  }
  if (m.length) Require(m.payload.size() == *m.length && m.text.size() == *m.length);
  Require(m.text.size() <= m.payload.size());

  const std::vector<uint8_t> data = DataBytes(m);
  const size_t fields = (m.guid ? 16 : 0) + (m.counter ? 4 : 0) + (m.length ? 2 : 0) + m.payload.size();
  if (m.crc == vplat::CrcCheck::NotPresent) {
    Require(fields <= data.size());
    return;
  }
  Require(fields + 4 <= data.size());
  std::vector<uint8_t> covered(4);
  std::memcpy(covered.data(), &m.header, 4);
  covered.insert(covered.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(fields));
  Require(m.crcComputed == crc32(0, covered.data(), static_cast<uInt>(covered.size())));
  Require(m.crcSent == Word(data.data() + fields));
  Require((m.crc == vplat::CrcCheck::Match) == (m.crcSent == m.crcComputed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Access> log;
  for (size_t at = 0; at + RECORD_SIZE <= size; at += RECORD_SIZE) log.push_back(Decode(data + at));
  const vplat::TraceDecodeResult result = vplat::DecodeTrace(log);
  for (const auto& m : result.messages) {
    CheckMessage(m, log);
    vplat::RenderMessage(m);
  }
  for (const auto& e : result.errors) {
    Require(e.index < log.size());
    vplat::Describe(e);
  }
  return 0;
}
