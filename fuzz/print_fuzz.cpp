// Any format, arguments, flags and buffer size: the print engine stores
// nothing at or past the end of the buffer (the buffer is allocated to its
// exact size, so AddressSanitizer sees any such store), ends what it stores
// with a zero character, stores what measuring counts when that fits, and
// otherwise a prefix of it; flag bits other than the caller's change nothing.
//
// Input: buffer size in characters (2 bytes), flags (bit 0: 16-bit output,
// bit 1: 16-bit format), a byte of flag bits the engine must ignore, 32
// bytes of text that the pointer arguments lead to, 32 arguments of 8 bytes,
// then the format.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "fuzz/target_support.h"
#include "module/print/print.h"

namespace {

using fuzz::Require;

constexpr size_t ARGUMENTS = 32;
constexpr size_t TEXT_SIZE = 32;
constexpr size_t FORMAT_AT = 4 + TEXT_SIZE + 8 * ARGUMENTS;
// Beyond this the full text is not rendered for comparison.
constexpr uint32_t MAX_COMPARED_LENGTH = 0x10000;

struct Call {
  uint32_t size;
  uint32_t flags;
  uint32_t ignoredFlags;
  std::vector<uint8_t> format;  // with a terminator of either width
  uint64_t args[ARGUMENTS];
};

// Text, GUID and time at once: 32 bytes and a zero 16-bit character.
alignas(8) uint8_t pointee[TEXT_SIZE + 4];

template <size_t... I>
uint32_t Print(void* buffer, uint32_t size, uint32_t flags, const Call& c, std::index_sequence<I...>) {
  return PrintToBufferWithFlags(buffer, size, flags, c.format.data(), c.args[I]...);
}

uint32_t Print(void* buffer, uint32_t size, uint32_t flags, const Call& c) {
  return Print(buffer, size, flags, c, std::make_index_sequence<ARGUMENTS>());
}

// Every conversion reads at most one argument and every '*' one more, so a
// format with more of them than there are arguments is cut short. Conversions
// that read through a pointer get `pointee` or NULL in every argument.
Call Decode(const uint8_t* data, size_t size) {
  std::vector<uint8_t> in(data, data + size);
  if (in.size() < FORMAT_AT) in.resize(FORMAT_AT, 0);
  Call c;
  c.size = in[0] | in[1] << 8;
  c.flags = ((in[2] & 1) != 0 ? PF_OUT_16BIT : 0) | ((in[2] & 2) != 0 ? PF_FMT_16BIT : 0);
  c.ignoredFlags = (in[3] * 0x01010101u) & ~PF_CALLER_FLAGS;
  std::memcpy(pointee, &in[4], TEXT_SIZE);
  std::memcpy(c.args, &in[4 + TEXT_SIZE], sizeof c.args);

  size_t reads = 0;
  bool dereferences = false;
  for (size_t i = FORMAT_AT; i < in.size(); ++i) {
    const uint8_t byte = in[i];
    if ((byte == '%' || byte == '*') && ++reads > ARGUMENTS) break;
    dereferences |= byte == 'a' || byte == 's' || byte == 'S' || byte == 'g' || byte == 't';
    c.format.push_back(byte);
  }
  if (c.format.size() % 2 != 0) c.format.push_back(0);
  c.format.insert(c.format.end(), {0, 0});
  if (dereferences)
    for (uint64_t& a : c.args) a = (a & 1) != 0 ? reinterpret_cast<uintptr_t>(pointee) : 0;
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Call c = Decode(data, size);
  const uint32_t characterSize = (c.flags & PF_OUT_16BIT) != 0 ? 2 : 1;
  const auto Character = [characterSize](const uint8_t* buffer, uint32_t index) {
    const uint8_t* at = buffer + size_t{index} * characterSize;
    return characterSize == 2 ? uint32_t{at[0]} | uint32_t{at[1]} << 8 : at[0];
  };

  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[size_t{c.size} * characterSize]);
  const uint32_t stored = Print(buffer.get(), c.size, c.flags, c);
  if (c.size == 0) {
    Require(stored == 0);
    return 0;
  }
  Require(stored < c.size && Character(buffer.get(), stored) == 0);

  const uint32_t measured = Print(nullptr, 0, c.flags | PF_MEASURE_ONLY, c);
  if (measured < c.size) Require(stored == measured);

  if (measured < MAX_COMPARED_LENGTH) {
    std::vector<uint8_t> full((size_t{measured} + 1) * characterSize);
    Require(Print(full.data(), measured + 1, c.flags, c) == measured);
    Require(std::memcmp(full.data(), buffer.get(), size_t{stored} * characterSize) == 0);
  }

  const std::unique_ptr<uint8_t[]> again(new uint8_t[size_t{c.size} * characterSize]);
  Require(Print(again.get(), c.size, c.flags | c.ignoredFlags, c) == stored);
  Require(std::memcmp(again.get(), buffer.get(), (size_t{stored} + 1) * characterSize) == 0);
  return 0;
}
