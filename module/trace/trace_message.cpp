#include "module/trace/trace_message.h"

#include "module/base/mem.h"
#include "module/trace/trace.h"

// The 16 descriptors in their fixed order; rows 2-4 and 8-14 describe fields
// that this module never sends.
const ScatterEntry ScatterTable[SCATTER_TABLE_ROWS] = {
    {SCATTER_OP_U32, 0x04, 4},   // 0: origin GUID, four 32-bit words
    {SCATTER_OP_U32, 0x14, 1},   // 1: counter
    {SCATTER_OP_U8, 0x18, 1},    // 2
    {SCATTER_OP_U32, 0x20, 1},   // 3
    {SCATTER_OP_U32, 0x20, 2},   // 4
    {SCATTER_OP_U16, 0x28, 1},   // 5: 16-bit length
    {SCATTER_OP_U32, 0x30, 6},   // 6: 24-byte inline text
    {SCATTER_OP_BLOB, 0x30, 0},  // 7: length-prefixed text, count replaced by the length
    {SCATTER_OP_U32, 0x48, 1},   // 8
    {SCATTER_OP_U32, 0x30, 1},   // 9
    {SCATTER_OP_U32, 0x30, 2},   // 10
    {SCATTER_OP_BLOB, 0x38, 0},  // 11
    {SCATTER_OP_U32, 0x30, 2},   // 12
    {SCATTER_OP_U32, 0x38, 2},   // 13
    {SCATTER_OP_BLOB, 0x40, 0},  // 14
    {SCATTER_OP_END, 0, 0},      // 15: end
};
static_assert(sizeof(ScatterTable) == 64);

// The module executes in place from flash, where stores to its globals are
// dropped, so these must read as zero from the image itself. A const record
// of zeros stays in read-only data with its bytes in the file; the two
// writable records are put in .data explicitly, because zero-initialised
// writable data would otherwise go to .bss, which has no bytes in the file
// (in flash it would read as whatever follows the image).
const TraceZeroRecord ZeroTraceRecord = {};
__attribute__((section(".data"))) TraceOutputTable DefaultTraceOutput = {};
__attribute__((section(".data"))) TraceHandle NullTraceHandle = {};

namespace {

// Unaligned loads from the message record or the caller's text; each
// compiles to a single move.
uint16_t LoadHalf(const uint8_t* p) {
  uint16_t value;
  __builtin_memcpy(&value, p, 2);
  return value;
}

uint32_t LoadWord(const uint8_t* p) {
  uint32_t value;
  __builtin_memcpy(&value, p, 4);
  return value;
}

const uint8_t* LoadAddress(const uint8_t* p) {
  const uint8_t* address;
  __builtin_memcpy(&address, p, sizeof address);
  return address;
}

void StoreAddress(uint8_t* p, const void* address) { __builtin_memcpy(p, &address, sizeof address); }

// The message being written: where its items go, and the running CRC when
// the handle asks for one.
struct Sender {
  TraceHandle* handle;
  const TraceOutputTable* output;
  bool checksum;
  uint32_t crc;

  void Data8(uint8_t value) {
    output->writeData8(handle, value);
    if (checksum) crc = Crc32UpdateByte(crc, value);
  }
  void Data16(uint16_t value) {
    output->writeData16(handle, value);
    if (checksum) crc = Crc32UpdateByte(Crc32UpdateByte(crc, static_cast<uint8_t>(value)),
                                        static_cast<uint8_t>(value >> 8));
  }
  void Data32(uint32_t value) {
    output->writeData32(handle, value);
    if (checksum) crc = Crc32UpdateWord(crc, value);
  }
};

// `count` bytes from `text` in the widest items possible: 32-bit words, then
// at most one 16-bit item and one byte.
void SendBlob(Sender& sender, const uint8_t* text, uint32_t count) {
  for (uint32_t i = 0; i < count / 4; ++i, text += 4) sender.Data32(LoadWord(text));
  const uint32_t rest = count % 4;
  if (rest >= 2) {
    sender.Data16(LoadHalf(text));
    text += 2;
  }
  if (rest % 2 != 0) sender.Data8(*text);
}

}  // namespace

void TraceOutputInit(TraceOutputTable* table) {
  if (table == nullptr) table = &DefaultTraceOutput;
  MemCopy(table, &ZeroTraceRecord, sizeof(TraceOutputTable));
  table->markerWord = TRACE_OUTPUT_MARKER;
  table->stamp = TRACE_OUTPUT_STAMP;
  table->writeMessage = TraceWriteMessage;
  MemCopy(&NullTraceHandle, &ZeroTraceRecord, sizeof(TraceHandle));
  InstallChannelHooks(table, 0);
}

void AddOptionalFields(TraceHandle* handle, TraceMessageData* data, ScatterEntry** cursor) {
  // The whole origin byte must be the marker, not bit 23 alone.
  if (static_cast<uint8_t>(data->header >> HEADER_ORIGIN_SHIFT) == ORIGIN_GUID_MARKER) {
    data->guid = handle->originGuid;
    *(*cursor)++ = ScatterTable[SCATTER_ROW_GUID];
  }
  if ((data->header & HEADER_SEQUENCE_PRESENT) != 0) {
    data->sequence = handle->sequence;
    handle->sequence += 1;
    *(*cursor)++ = ScatterTable[SCATTER_ROW_SEQUENCE];
  }
}

void SendDebugString(TraceHandle* handle, uint16_t length, const void* text) {
  if (handle == &NullTraceHandle) return;
  ScatterEntry program[SCATTER_PROGRAM_CAPACITY];
  ScatterEntry* cursor = program;
  TraceMessageData data;  // only the fields the program sends are filled
  data.header = (handle->tag & HEADER_TAG_MASK) | HEADER_FIXED_BITS;
  AddOptionalFields(handle, &data, &cursor);

  if (length != 0) {
    // Length-prefixed: the text is streamed from the caller's buffer.
    data.header |= HEADER_LENGTH_PRESENT;
    data.length = length;
    StoreAddress(data.payload, text);
    *cursor++ = ScatterTable[SCATTER_ROW_LENGTH];
    ScatterEntry blob = ScatterTable[SCATTER_ROW_TEXT_BLOB];
    blob.count = length;
    *cursor++ = blob;
  } else {
    // Inline: up to and including the first zero byte, at most 24 bytes,
    // each stored before it is tested; zeros after it.
    const auto* source = static_cast<const uint8_t*>(text);
    for (uint32_t i = 0; i < INLINE_TEXT_SIZE; ++i) {
      data.payload[i] = source[i];
      if (data.payload[i] == 0) {
        MemZero(&data.payload[i], INLINE_TEXT_SIZE - i);
        break;
      }
    }
    *cursor++ = ScatterTable[SCATTER_ROW_INLINE_TEXT];
  }
  *cursor++ = ScatterTable[SCATTER_ROW_END];
  handle->output->writeMessage(handle, program, &data);
}

void TraceWriteMessage(TraceHandle* handle, const ScatterEntry* program, TraceMessageData* data) {
  const TraceOutputTable* output = handle->output;
  // The header took the same bit from the tag, so the two agree.
  Sender sender{handle, output, (handle->tag & HEADER_CHECKSUM_PRESENT) != 0, CRC32_PRESET};
  output->writeStart(handle, data->header);
  if (sender.checksum) sender.crc = Crc32UpdateWord(sender.crc, data->header);

  const auto* record = reinterpret_cast<const uint8_t*>(data);
  for (const ScatterEntry* entry = program; entry->op != SCATTER_OP_END; ++entry) {
    const uint8_t* p = record + entry->offset;
    const uint32_t count = entry->count;
    switch (entry->op) {
      case SCATTER_OP_U8:
        for (uint32_t i = 0; i < count; ++i, p += 1) sender.Data8(*p);
        break;
      case SCATTER_OP_U16:
        for (uint32_t i = 0; i < count; ++i, p += 2) sender.Data16(LoadHalf(p));
        break;
      case SCATTER_OP_U32:
        for (uint32_t i = 0; i < count; ++i, p += 4) sender.Data32(LoadWord(p));
        break;
      case SCATTER_OP_BLOB:
        SendBlob(sender, LoadAddress(p), count);
        break;
      default:  // not an op: skipped
        break;
    }
  }
  if (sender.checksum) output->writeData32(handle, ~sender.crc);
  output->writeEnd(handle);
}

EFI_STATUS TraceWriteString(const void* text, uint32_t length) {
  const TraceChannelId id = {TRACE_MASTER, TRACE_CHANNEL};
  TraceOutputTable table;
  TraceOutputInit(&table);

  TraceHandle handle;
  MemCopy(&handle, &ZeroTraceRecord, sizeof handle);
  handle.flags |= TRACE_HANDLE_INITIALISED;
  handle.sequence = 0;
  handle.output = &table;
  if (table.bindHook != nullptr) table.bindHook(&handle, &id);

  handle.tag = (handle.tag & TAG_UNIT_CLEAR_MASK) | TAG_ORIGIN_GUID;
  handle.originGuid = TRACE_ORIGIN_GUID;
  SendDebugString(&handle, static_cast<uint16_t>(length), text);
  return EFI_SUCCESS;
}
