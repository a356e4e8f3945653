#include "vplat/devices/trace_decoder.h"

#include <cstdio>
#include <map>
#include <utility>

#include "vplat/devices/trace_hub.h"
#include "common/hex.h"

namespace vplat {

using common::Hex;
namespace {

// A message between its start and its end.
struct OpenMessage {
  size_t startIndex = 0;
  bool alternateStart = false;
  uint32_t header = 0;
  std::vector<uint8_t> bytes;  // data bytes in the order written
  std::vector<ChannelWrite> writes;
};

// Reads the data bytes from the front.
class ByteReader {
 public:
  explicit ByteReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  size_t Remaining() const { return bytes_.size() - position_; }
  size_t Position() const { return position_; }
  uint32_t Take(size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value |= uint32_t{bytes_[position_++]} << (8 * i);
    return value;
  }
  std::vector<uint8_t> TakeBytes(size_t count) {
    std::vector<uint8_t> out(bytes_.begin() + position_, bytes_.begin() + position_ + count);
    position_ += count;
    return out;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t position_ = 0;
};

class Decoder {
 public:
  explicit Decoder(TraceDecodeResult& result) : result_(result) {}

  void Write(size_t index, const ChannelRegister& at, uint8_t width, uint32_t value) {
    const Key key{at.master, at.channel};
    const ChannelWrite write{index, at.offset, width, value};
    auto open = open_.find(key);
    const bool isStart = at.offset == TRACE_HUB_CHANNEL_START || at.offset == TRACE_HUB_CHANNEL_START_ALT;

    if (isStart || at.offset == TRACE_HUB_CHANNEL_END) {
      if (width != 4) return Error(TraceDecodeErrorKind::UnexpectedWrite, key, index, DescribeWrite(write));
    } else if (at.offset != TRACE_HUB_CHANNEL_DATA || (width != 1 && width != 2 && width != 4)) {
      return Error(TraceDecodeErrorKind::UnexpectedWrite, key, index, DescribeWrite(write));
    }

    if (isStart) {
      if (open != open_.end()) MissingEnd(key, open->second);
      OpenMessage& m = open_[key];
      m = OpenMessage{index, at.offset == TRACE_HUB_CHANNEL_START_ALT, value, {}, {write}};
      return;
    }
    // A data or end write with no message open.
    if (open == open_.end()) return Error(TraceDecodeErrorKind::DataWithoutStart, key, index, DescribeWrite(write));
    OpenMessage& m = open->second;
    m.writes.push_back(write);
    if (at.offset == TRACE_HUB_CHANNEL_DATA) {
      for (uint8_t i = 0; i < width; ++i) m.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
      return;
    }
    // The end.
    if (value != 0) Error(TraceDecodeErrorKind::NonZeroEnd, key, index, DescribeWrite(write));
    Finish(key, m);
    open_.erase(open);
  }

  void Close() {
    for (auto& [key, m] : open_) MissingEnd(key, m);
    open_.clear();
  }

 private:
  using Key = std::pair<uint32_t, uint32_t>;

  static std::string DescribeWrite(const ChannelWrite& w) {
    return "write" + std::to_string(w.width * 8) + " at window + " + Hex(w.offset, 2) + " <- " +
           Hex(w.value, w.width * 2);
  }

  void Error(TraceDecodeErrorKind kind, const Key& key, size_t index, std::string detail) {
    result_.errors.push_back({kind, key.first, key.second, index, std::move(detail)});
  }

  void MissingEnd(const Key& key, const OpenMessage& m) {
    Error(TraceDecodeErrorKind::MissingEnd, key, m.startIndex,
          "message with header " + Hex(m.header, 8) + " and " + std::to_string(m.bytes.size()) +
              " data bytes was never ended");
  }

  void Finish(const Key& key, const OpenMessage& m) {
    TraceMessage out;
    out.master = key.first;
    out.channel = key.second;
    out.alternateStart = m.alternateStart;
    out.header = m.header;
    out.type = m.header & 0xF;
    out.severity = (m.header >> 4) & 0x7;
    out.unit = (m.header >> 12) & 0xF;
    out.origin = (m.header >> 16) & 0xFF;
    out.subtype = (m.header >> 24) & 0x3F;
    out.writes = m.writes;

    const bool checksum = (m.header & SYST_CHECKSUM_PRESENT) != 0;
    const size_t crcBytes = checksum ? 4 : 0;
    ByteReader in(m.bytes);
    auto need = [&](size_t count, const char* what) {
      if (in.Remaining() >= count + crcBytes) return true;
      Error(TraceDecodeErrorKind::Truncated, key, m.startIndex,
            std::string("header ") + Hex(m.header, 8) + " announces " + what + " but only " +
                std::to_string(in.Remaining()) + " data bytes remain");
      return false;
    };

    if (out.origin == SYST_ORIGIN_GUID) {
      if (!need(16, "an origin GUID")) return;
      EFI_GUID g;
      g.Data1 = in.Take(4);
      g.Data2 = static_cast<uint16_t>(in.Take(2));
      g.Data3 = static_cast<uint16_t>(in.Take(2));
      for (auto& b : g.Data4) b = static_cast<uint8_t>(in.Take(1));
      out.guid = g;
    }
    if ((m.header & SYST_SEQUENCE_PRESENT) != 0) {
      if (!need(4, "a counter")) return;
      out.counter = in.Take(4);
    }
    if ((m.header & SYST_LENGTH_PRESENT) != 0) {
      if (!need(2, "a length field")) return;
      out.length = static_cast<uint16_t>(in.Take(2));
      if (!need(*out.length, "a length-prefixed payload")) return;
      out.payload = in.TakeBytes(*out.length);
      out.text.assign(out.payload.begin(), out.payload.end());
    } else {
      if (!need(0, "a checksum")) return;
      out.payload = in.TakeBytes(in.Remaining() - crcBytes);
      size_t end = 0;
      while (end < out.payload.size() && out.payload[end] != 0) ++end;
      out.text.assign(out.payload.begin(), out.payload.begin() + end);
    }
    if (checksum) {
      std::vector<uint8_t> covered;
      for (int i = 0; i < 4; ++i) covered.push_back(static_cast<uint8_t>(m.header >> (8 * i)));
      for (size_t i = 0; i < in.Position(); ++i) covered.push_back(m.bytes[i]);
      out.crcComputed = TraceCrc32(covered);
      out.crcSent = in.Take(4);
      out.crc = out.crcSent == out.crcComputed ? CrcCheck::Match : CrcCheck::Mismatch;
    }
    if (in.Remaining() != 0)
      Error(TraceDecodeErrorKind::TrailingBytes, key, m.writes.back().index,
            std::to_string(in.Remaining()) + " data bytes after the last field of header " + Hex(m.header, 8));
    result_.messages.push_back(std::move(out));
  }

  TraceDecodeResult& result_;
  std::map<Key, OpenMessage> open_;
};

}  // namespace

bool TraceDecodeResult::Clean() const {
  if (!errors.empty()) return false;
  for (const auto& m : messages)
    if (m.crc == CrcCheck::Mismatch) return false;
  return true;
}

TraceDecodeResult DecodeTrace(const std::vector<Access>& accesses) {
  TraceDecodeResult result;
  Decoder decoder(result);
  for (size_t i = 0; i < accesses.size(); ++i) {
    const Access& a = accesses[i];
    if (a.kind != AccessKind::MmioWrite) continue;
    if (const auto at = LocateChannelRegister(a.address)) decoder.Write(i, *at, a.width, a.value);
  }
  decoder.Close();
  return result;
}

uint32_t TraceCrc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

std::string FormatGuid(const EFI_GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

std::string RenderMessage(const TraceMessage& m) {
  std::string line = "master " + std::to_string(m.master) + " channel " + std::to_string(m.channel) + ": ";
  if (m.type == SYST_TYPE_STRING) {
    line += QuoteText(m.text);
  } else {
    line += "type " + std::to_string(m.type) + " subtype " + std::to_string(m.subtype) + " [";
    for (size_t i = 0; i < m.payload.size(); ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X", m.payload[i]);
      if (i != 0) line += ' ';
      line += hex;
    }
    line += "]";
  }
  if (m.counter) line += " [counter " + std::to_string(*m.counter) + "]";
  if (m.crc == CrcCheck::Match) line += " [crc ok]";
  if (m.crc == CrcCheck::Mismatch)
    line += " [CRC MISMATCH: sent " + Hex(m.crcSent, 8) + ", computed " + Hex(m.crcComputed, 8) + "]";
  return line;
}

const char* ErrorName(TraceDecodeErrorKind kind) {
  switch (kind) {
    case TraceDecodeErrorKind::DataWithoutStart: return "data without start";
    case TraceDecodeErrorKind::MissingEnd: return "missing end";
    case TraceDecodeErrorKind::UnexpectedWrite: return "unexpected write";
    case TraceDecodeErrorKind::Truncated: return "truncated message";
    case TraceDecodeErrorKind::TrailingBytes: return "trailing bytes";
    case TraceDecodeErrorKind::NonZeroEnd: return "end value not 0";
  }
  return "?";
}

std::string Describe(const TraceDecodeError& e) {
  return "master " + std::to_string(e.master) + " channel " + std::to_string(e.channel) + ", access " +
         std::to_string(e.index) + ": " + ErrorName(e.kind) + " (" + e.detail + ")";
}

}  // namespace vplat
