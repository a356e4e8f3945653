// Trace message writer: lays a line of text out as one MIPI
// SyS-T string message in a message data record and sends it through the
// channel output hooks, as a scatter program assembled from a constant
// table of field descriptors says.
//
// Within the trace subsystem only (and its tests): other subsystems call
// trace.h.
#pragma once

#include "module/types/efi_types.h"
#include "module/trace/trace_channel.h"

// The channel and the sender identity of TraceWriteString.
inline constexpr uint32_t TRACE_MASTER = 32;
inline constexpr uint32_t TRACE_CHANNEL = 14;
// 23a3e7ba-75d1-4cb9-9c8f-56fa4e48d99e
inline constexpr EFI_GUID TRACE_ORIGIN_GUID = {
    0x23a3e7ba, 0x75d1, 0x4cb9, {0x9c, 0x8f, 0x56, 0xfa, 0x4e, 0x48, 0xd9, 0x9e}};

// TraceHandle.flags bit 0.
inline constexpr uint32_t TRACE_HANDLE_INITIALISED = 0x1;
// TraceOutputTable.markerWord after initialisation.
inline constexpr uint32_t TRACE_OUTPUT_MARKER = 0xFFFFFFFFu;

// TraceWriteString's tag: the unit (bits 12-15) cleared, the origin byte set
// to ORIGIN_GUID_MARKER.
inline constexpr uint32_t TAG_UNIT_CLEAR_MASK = 0xFFFF0FFFu;
inline constexpr uint32_t TAG_ORIGIN_GUID = 0x00FF0000u;

// Message header, as this module fills it. Bits 0-3 type 2 (string), bits
// 4-6 severity 2, bits 24-29 subtype 1 (debug string): 0x01000022. The tag
// supplies bits 7 to 23.
inline constexpr uint32_t HEADER_TAG_MASK = 0x00FFFF80u;
inline constexpr uint32_t HEADER_FIXED_BITS = 0x01000022u;
inline constexpr uint32_t HEADER_SEQUENCE_PRESENT = 0x080;  // a 32-bit counter follows the GUID
inline constexpr uint32_t HEADER_LENGTH_PRESENT = 0x200;    // a 16-bit length precedes the text
inline constexpr uint32_t HEADER_CHECKSUM_PRESENT = 0x400;  // a CRC-32 ends the message
inline constexpr uint32_t HEADER_ORIGIN_SHIFT = 16;          // bits 16-23: the origin byte
inline constexpr uint8_t ORIGIN_GUID_MARKER = 0xFF;         // a 16-byte origin GUID follows the header

// The inline form carries exactly this many text bytes, zero-filled.
inline constexpr uint32_t INLINE_TEXT_SIZE = 24;

// CRC-32 of IEEE 802.3, reflected: polynomial 0xEDB88320, preset all ones,
// result complemented.
inline constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
inline constexpr uint32_t CRC32_PRESET = 0xFFFFFFFFu;

// Scatter program ops.
inline constexpr uint8_t SCATTER_OP_U8 = 1;
inline constexpr uint8_t SCATTER_OP_U16 = 2;
inline constexpr uint8_t SCATTER_OP_U32 = 4;
inline constexpr uint8_t SCATTER_OP_BLOB = 16;
inline constexpr uint8_t SCATTER_OP_END = 0xFF;

// The rows of ScatterTable that this module's programs use.
inline constexpr uint32_t SCATTER_ROW_GUID = 0;
inline constexpr uint32_t SCATTER_ROW_SEQUENCE = 1;
inline constexpr uint32_t SCATTER_ROW_LENGTH = 5;
inline constexpr uint32_t SCATTER_ROW_INLINE_TEXT = 6;
inline constexpr uint32_t SCATTER_ROW_TEXT_BLOB = 7;
inline constexpr uint32_t SCATTER_ROW_END = 15;
inline constexpr uint32_t SCATTER_TABLE_ROWS = 16;

// Room for a program; a debug string message uses at most 5 descriptors
// (GUID, counter, length, text, end).
inline constexpr uint32_t SCATTER_PROGRAM_CAPACITY = 10;

// One field descriptor: send `count` items of the op's width from `offset`
// in the message data record (or, for SCATTER_OP_BLOB, `count` bytes from the
// address stored there).
struct ScatterEntry {
  uint8_t op;
  uint8_t offset;
  uint16_t count;  // little-endian, as the target stores it
};
static_assert(sizeof(ScatterEntry) == 4);
static_assert(offsetof(ScatterEntry, offset) == 1 && offsetof(ScatterEntry, count) == 2);

// One message, laid out for the scatter programs, which address its fields by
// byte offset (the offsets are part of ScatterTable's format). Only header,
// guid, sequence, length and payload are ever filled.
struct TraceMessageData {
  uint32_t header;           // 0x00
  EFI_GUID guid;             // 0x04: copy of the handle's originGuid
  uint32_t sequence;         // 0x14: copy of the handle's counter
  uint8_t byteField;         // 0x18: row 2, never filled
  uint8_t reserved19[7];
  uint32_t wordFields[2];    // 0x20: rows 3 and 4, never filled
  uint16_t length;           // 0x28: text length
  uint8_t reserved2A[6];
  // 0x30: the inline text, or, length-prefixed, the address of the caller's
  // text (pointer-sized: 4 bytes on the target, 8 on a 64-bit host; the blob
  // slots at 0x30, 0x38 and 0x40 have room for either).
  uint8_t payload[INLINE_TEXT_SIZE];
  uint32_t trailer;          // 0x48: row 8, never filled
};
static_assert(offsetof(TraceMessageData, header) == 0x00);
static_assert(offsetof(TraceMessageData, guid) == 0x04);
static_assert(offsetof(TraceMessageData, sequence) == 0x14);
static_assert(offsetof(TraceMessageData, byteField) == 0x18);
static_assert(offsetof(TraceMessageData, wordFields) == 0x20);
static_assert(offsetof(TraceMessageData, length) == 0x28);
static_assert(offsetof(TraceMessageData, payload) == 0x30);
static_assert(offsetof(TraceMessageData, trailer) == 0x48);
static_assert(sizeof(TraceMessageData) == 0x4C);
static_assert(sizeof(void*) <= 8, "blob addresses at 0x30, 0x38 and 0x40 are 8 bytes apart");

// The constant descriptors that programs are assembled from.
extern const ScatterEntry ScatterTable[SCATTER_TABLE_ROWS];

// The standard reflected CRC-32 table for CRC32_POLYNOMIAL (entry 1 is
// 0x77073096).
extern const uint32_t Crc32Table[256];

// An all-zero record, the initial value of every TraceHandle and (its first
// part) of every TraceOutputTable. On the target both records are 48 bytes,
// so this is exactly a TraceHandle's size; on a 64-bit host the table, with
// nine 8-byte pointers, is the larger one, and the record covers it too.
// Never written.
union TraceZeroRecord {
  TraceHandle handle;
  TraceOutputTable table;
};
static_assert(sizeof(TraceZeroRecord) >= sizeof(TraceHandle) &&
              sizeof(TraceZeroRecord) >= sizeof(TraceOutputTable));

// The module's only writable global state, all of it zero in the image.
extern const TraceZeroRecord ZeroTraceRecord;
extern TraceOutputTable DefaultTraceOutput;  // TraceOutputInit's table when it gets none
extern TraceHandle NullTraceHandle;          // reset by TraceOutputInit; sends nothing

// Zeroes the table (or DefaultTraceOutput when `table` is NULL), sets
// markerWord, stamp and writeMessage = TraceWriteMessage, resets
// NullTraceHandle, then installs the hooks with InstallChannelHooks(table, 0).
void TraceOutputInit(TraceOutputTable* table);

// Builds one debug string message and hands it to the handle's writeMessage:
// length-prefixed when `length` is not 0 (the text streamed from `text`),
// else the 24-byte inline form. Sends nothing through NullTraceHandle.
void SendDebugString(TraceHandle* handle, uint16_t length, const void* text);

// Fills the origin GUID when the header's origin byte is ORIGIN_GUID_MARKER
// and the counter when HEADER_SEQUENCE_PRESENT is set (then advances the
// handle's counter), appending their descriptors, GUID first, at *cursor and
// advancing it.
void AddOptionalFields(TraceHandle* handle, TraceMessageData* data, ScatterEntry** cursor);

// Writes one message: the header through writeStart, every item of the
// program through the data hooks (ops other than 1, 2, 4, 16 and the closing
// 0xFF are skipped; a count of 0 sends nothing), the complemented CRC-32 of
// every byte sent when the handle's tag has HEADER_CHECKSUM_PRESENT, then
// writeEnd. The program must end with SCATTER_OP_END.
void TraceWriteMessage(TraceHandle* handle, const ScatterEntry* program, TraceMessageData* data);

// One table step of the CRC-32 register with one byte.
uint32_t Crc32UpdateByte(uint32_t crc, uint8_t byte);

// The CRC-32 register after the four bytes of `word`, bits 0-7 first.
uint32_t Crc32UpdateWord(uint32_t crc, uint32_t word);
