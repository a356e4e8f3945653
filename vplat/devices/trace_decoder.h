// Turns the channel writes in an access log back into SyS-T messages, one
// stream per master and channel, the way a trace receiver would: a 32-bit
// write at window + 0x10 (or + 0x18) starts a message with its header, data
// writes of 8, 16 or 32 bits at window + 0x00 append their bytes
// (little-endian), a 32-bit write at window + 0x30 ends it. The byte stream
// is then read as the header asks: origin GUID, counter, length, payload
// (length-prefixed, or everything up to the checksum), CRC-32.
//
// An independent check of the module: it shares the hardware format, not a
// line of the module's code (its CRC-32 is computed bit by bit here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/quote.h"
#include "module/types/efi_types.h"
#include "vplat/access_log.h"

namespace vplat {

// Header fields (SyS-T message header).
inline constexpr uint32_t SYST_TYPE_STRING = 2;
inline constexpr uint32_t SYST_SEQUENCE_PRESENT = 0x080;
inline constexpr uint32_t SYST_LENGTH_PRESENT = 0x200;
inline constexpr uint32_t SYST_CHECKSUM_PRESENT = 0x400;
inline constexpr uint8_t SYST_ORIGIN_GUID = 0xFF;  // origin byte: a 16-byte GUID follows

// One write that belongs to a message, as logged.
struct ChannelWrite {
  size_t index;     // position in the decoded list of accesses
  uint32_t offset;  // within the channel window
  uint8_t width;    // bytes
  uint32_t value;

  bool operator==(const ChannelWrite&) const = default;
};

enum class CrcCheck { NotPresent, Match, Mismatch };

struct TraceMessage {
  uint32_t master = 0;
  uint32_t channel = 0;
  bool alternateStart = false;  // started at + 0x18 rather than + 0x10

  uint32_t header = 0;
  uint8_t type = 0;      // bits 0-3
  uint8_t severity = 0;  // bits 4-6
  uint8_t unit = 0;      // bits 12-15
  uint8_t origin = 0;    // bits 16-23
  uint8_t subtype = 0;   // bits 24-29

  std::optional<EFI_GUID> guid;      // origin byte 0xFF
  std::optional<uint32_t> counter;   // bit 7
  std::optional<uint16_t> length;    // bit 9
  std::vector<uint8_t> payload;      // exactly `length` bytes, or all up to the checksum
  // The payload as text: all of it when length-prefixed; up to the first
  // zero byte in the inline form.
  std::string text;

  CrcCheck crc = CrcCheck::NotPresent;  // bit 10
  uint32_t crcSent = 0;
  uint32_t crcComputed = 0;  // over the header and every data byte before the CRC

  std::vector<ChannelWrite> writes;  // start, data and end, in order
};

enum class TraceDecodeErrorKind {
  DataWithoutStart,  // a data or end write on a channel with no message open
  MissingEnd,        // a new start, or the end of the list, with a message open
  UnexpectedWrite,   // another offset, data not 8, 16 or 32 bits wide, or a start or end not 32
  Truncated,         // fewer bytes than the header's fields need; no message listed
  TrailingBytes,     // bytes after the last field the header announces; message listed
  NonZeroEnd,        // the end write's value is not 0; message listed
};

struct TraceDecodeError {
  TraceDecodeErrorKind kind;
  uint32_t master = 0;
  uint32_t channel = 0;
  size_t index = 0;  // the offending access (for MissingEnd and Truncated, the message's start)
  std::string detail;
};

struct TraceDecodeResult {
  std::vector<TraceMessage> messages;  // in the order their ends were written
  std::vector<TraceDecodeError> errors;

  // No errors and no CRC mismatch.
  bool Clean() const;
};

// Decodes every write into the trace hub aperture in `accesses`, in order;
// all other entries (reads, ports, services, other addresses) are ignored.
TraceDecodeResult DecodeTrace(const std::vector<Access>& accesses);

// The standard CRC-32 (IEEE 802.3, reflected, as zlib's crc32) of `bytes`.
uint32_t TraceCrc32(const std::vector<uint8_t>& bytes);

// "master 32 channel 14: \"TraceHub : POSTCODE=<8F>\\r\\n\"" for a string
// message; another type shows its type and payload bytes in hexadecimal. A
// counter and the CRC verdict follow in brackets when the message has them.
std::string RenderMessage(const TraceMessage& message);

using common::QuoteText;

// 8-4-4-4-12, lower case.
std::string FormatGuid(const EFI_GUID& guid);

const char* ErrorName(TraceDecodeErrorKind kind);

// "master 32 channel 14, access 7: data without start (write8 ...)".
std::string Describe(const TraceDecodeError& error);

}  // namespace vplat
