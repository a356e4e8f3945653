// The formatted print engine: a printf-style formatter into a
// bounded buffer, with conversions of its own for firmware values (GUIDs,
// times, EFI_STATUS names, 8-bit and 16-bit texts) and line ends written as
// CR LF. Freestanding: no C library, no allocation, no state between calls.
//
// Contract shared by the three entry points:
// - `size` counts output characters (1 byte each, or 2 bytes little-endian
//   with PF_OUT_16BIT). At most size - 1 characters of text are stored, then
//   one zero character; nothing is ever stored at or past buffer + size
//   characters. A size of 0 (or an absent buffer) stores nothing and returns 0.
// - The result is the number of characters stored, the terminator not
//   counted; with PF_MEASURE_ONLY nothing is stored, the buffer and size are
//   ignored, and the result is the full length the output would have, held
//   at 0xFFFFFFFF if it would pass 2^32 - 1.
// - Of the caller's flags only PF_OUT_16BIT, PF_FMT_16BIT and PF_MEASURE_ONLY
//   are honoured; every other bit is ignored.
// - Widths and precisions are unsigned 32-bit (a digit run in the format keeps
//   its value modulo 2^32); each count of blanks or '0's to add is taken as a
//   signed 32-bit number and adds nothing below zero, so a negative '*' width
//   pads nothing. Output stops at the output end however large a count is.
// - The format is ended by a zero character of its own size (a byte, or a
//   16-bit unit with PF_FMT_16BIT).
//
// Conversions and what they read from the argument list, in order:
//   %d %u %x %X  int32_t / uint32_t, or a 64-bit integer after 'l' or 'L'
//   %p           a pointer (32 bits on the target, pointer-sized on the host)
//   %c           a uint32_t whose low 16 bits are the character
//   %a           const char*      (8-bit text)     NULL -> "<null string>"
//   %s %S        const char16_t*  (16-bit text)    NULL -> "<null string>"
//   %g           const EFI_GUID*  8-4-4-4-12, upper case; NULL -> "<null guid>"
//   %t           const EFI_TIME*  "MM/DD/YYYY  hh:mm";  NULL -> "<null time>"
//   %r           EFI_STATUS       name from StatusTextTable, else "%08X"
//   *            an int32_t: the width, or the precision after '.'
// Flag characters, in any order and number: '-' '+' ' ' ',' (thousands) '0'
// 'l' 'L' '.'. Any other conversion character, '%' included, yields itself.
#pragma once

#include <stdarg.h>

#include "module/types/efi_types.h"

// Flags word. The caller bits (0x0040, 0x0100, 0x2000) select text sizes and
// measuring mode; the others are the engine's working state for one directive
// and are listed because they name the engine's documented states.
inline constexpr uint32_t PF_ALIGN_LEFT = 0x0001;
inline constexpr uint32_t PF_SHOW_PLUS = 0x0002;
inline constexpr uint32_t PF_SHOW_SPACE = 0x0004;
inline constexpr uint32_t PF_THOUSANDS = 0x0008;
inline constexpr uint32_t PF_VALUE_64 = 0x0010;
inline constexpr uint32_t PF_ZERO_FILL = 0x0020;
inline constexpr uint32_t PF_OUT_16BIT = 0x0040;
inline constexpr uint32_t PF_HEX = 0x0080;
inline constexpr uint32_t PF_FMT_16BIT = 0x0100;
inline constexpr uint32_t PF_HAS_WIDTH = 0x0200;
inline constexpr uint32_t PF_TEXT_16BIT = 0x0400;
inline constexpr uint32_t PF_HAS_PRECISION = 0x0800;
inline constexpr uint32_t PF_TEXT_BACKWARD = 0x1000;
inline constexpr uint32_t PF_MEASURE_ONLY = 0x2000;
inline constexpr uint32_t PF_NO_SIGN = 0x4000;
inline constexpr uint32_t PF_CALLER_FLAGS = PF_OUT_16BIT | PF_FMT_16BIT | PF_MEASURE_ONLY;

// Characters in the engine's scratch text area: a zero byte and up to 20
// digits of a 64-bit number, or a nested rendering (the GUID's 36 characters
// and its terminator are the longest).
inline constexpr uint32_t SCRATCH_TEXT_SIZE = 38;

// Entries of StatusTextTable: success, warnings 1 to 5, errors 1 to 33.
inline constexpr uint32_t STATUS_TEXT_COUNT = 39;

// UEFI's EFI_TIME. The engine reads Year, Month, Day, Hour
// and Minute only.
struct EFI_TIME {
  uint16_t Year;  // 1900 - 9999
  uint8_t Month;  // 1 - 12
  uint8_t Day;    // 1 - 31
  uint8_t Hour;   // 0 - 23
  uint8_t Minute;
  uint8_t Second;
  uint8_t Pad1;
  uint32_t Nanosecond;
  int16_t TimeZone;  // minutes from UTC, or 2047 for unspecified
  uint8_t Daylight;
  uint8_t Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);
static_assert(offsetof(EFI_TIME, Month) == 2 && offsetof(EFI_TIME, Day) == 3);
static_assert(offsetof(EFI_TIME, Hour) == 4 && offsetof(EFI_TIME, Minute) == 5);

// 8-bit format, 8-bit output, storing mode: PrintEngine with flags 0.
uint32_t PrintToBuffer(char* buffer, uint32_t size, const char* format, ...);

// PrintEngine with the caller's flags. `buffer` points to output characters
// and `format` to format characters of the sizes the flags select.
uint32_t PrintToBufferWithFlags(void* buffer, uint32_t size, uint32_t flags, const void* format,
                                ...);

// The engine itself; `args` is positioned just after the format.
uint32_t PrintEngine(void* buffer, uint32_t size, uint32_t flags, const void* format,
                     va_list args);

// Stores `count` copies of `character` (its low byte when characterSize is 1;
// low byte then high byte when it is 2), each only while a whole character
// fits below `end`; returns the cursor after the last one stored. A count of
// zero or below stores nothing.
uint8_t* FillCharacters(uint8_t* cursor, const uint8_t* end, int32_t count, uint16_t character,
                        uint32_t characterSize);

// Stores a zero byte at scratch[0], then the digits of `value` in radix 10 or
// 16 (upper case), least significant first, at scratch[1], scratch[2], ...;
// returns the position of the most significant digit, so the digit count is
// its distance from scratch. 0 gives the one digit "0"; at most 20 digits.
// Uses 32-bit divisions only: the module links no 64-bit division helper.
char* ToDigitsReversed(char* scratch, uint32_t radix, uint64_t value);

// The status names of %r: entry v for 0 to 5, entry v - 0x80000000 + 5 for
// 0x80000001 to 0x80000021 ("CRC Error" for EFI_CRC_ERROR).
extern const char* const StatusTextTable[STATUS_TEXT_COUNT];

// The StatusTextTable entry for `status`, or nullptr when it has none.
const char* StatusText(EFI_STATUS status);
