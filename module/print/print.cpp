#include "module/print/print.h"

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr char LINE_END_CRLF[] = "\r\n";
constexpr char LINE_END_CR[] = "\r";
constexpr char NULL_STRING_TEXT[] = "<null string>";
constexpr char NULL_GUID_TEXT[] = "<null guid>";
constexpr char NULL_TIME_TEXT[] = "<null time>";
constexpr char EMPTY_TEXT[] = "";
// The eleven values of an EFI_GUID: Data1, Data2, Data3, Data4[0..7].
constexpr char GUID_FORMAT[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
// Month, Day, Year, Hour, Minute; two blanks between date and time.
constexpr char TIME_FORMAT[] = "%02d/%02d/%04d  %02d:%02d";
constexpr char STATUS_FALLBACK_FORMAT[] = "%08X";

// A number's digits: the zero byte at scratch[0], then at most the 20 decimal
// digits of 2^64 - 1.
static_assert(SCRATCH_TEXT_SIZE >= 1 + 20);
// The longest nested rendering: 36 GUID characters and the terminator.
static_assert(SCRATCH_TEXT_SIZE >= 36 + 1);

// One character of a text of 8-bit or 16-bit (little-endian) characters. Read
// byte by byte: a 16-bit text argument need not be aligned.
uint16_t CharacterAt(const uint8_t* text, uint32_t characterSize) {
  if (characterSize == 1) return text[0];
  return static_cast<uint16_t>(text[0] | (text[1] << 8));
}

// The signed count of blanks or '0' characters that pads `from` up to `to`;
// below zero (also when the difference reaches 2^31) nothing is added.
int32_t PadCount(uint32_t to, uint32_t from) { return static_cast<int32_t>(to - from); }

// Working values of one call for the output side.
struct Output {
  uint8_t* start;
  uint8_t* cursor;
  const uint8_t* end;  // the last character position, reserved for the terminator
  uint32_t characterSize;
  bool measuring;
  uint32_t measured;  // running length in measuring mode
};

// Emits `count` copies of a character: stores them, bounded by the output
// end, or counts them in measuring mode (held at 2^32 - 1, never wrapped).
// Kept out of line: inlined at each of its seven call sites it would add
// about 0.5 KiB to the image.
[[gnu::noinline]] void Put(Output& out, int32_t count, uint16_t character) {
  if (count <= 0) return;
  if (out.measuring) {
    const uint32_t room = 0xFFFFFFFFu - out.measured;
    out.measured += static_cast<uint32_t>(count) < room ? static_cast<uint32_t>(count) : room;
    return;
  }
  out.cursor = FillCharacters(out.cursor, out.end, count, character, out.characterSize);
}

// The format text, one character (byte or 16-bit unit) at a time.
struct Format {
  const uint8_t* at;
  uint32_t characterSize;

  uint16_t Current() const { return CharacterAt(at, characterSize); }
  // Only called while Current() is not zero, so the next character exists.
  uint16_t Next() const { return CharacterAt(at + characterSize, characterSize); }
  void Advance() { at += characterSize; }
  void Back() { at -= characterSize; }
};

// Working values of one format element, reset before each.
struct Element {
  uint32_t flags;
  uint32_t width;
  uint32_t precision;
  uint16_t prefix;  // 0, '-', '+' or ' '
  bool grouping;
  uint32_t groupCounter;
  bool numeric;
  const uint8_t* text;  // first character read (the most significant digit of a number)
  uint32_t length;      // in characters; counted by Emit for a text that is not numeric
  uint8_t single[4];    // a one-character 16-bit text and its 16-bit zero
};

// Working storage of one call. A nested rendering is a second call with a
// storage of its own, writing into this one's scratch area.
struct Engine {
  Output out;
  Format format;
  va_list args;
  char scratch[SCRATCH_TEXT_SIZE];
};

void ResetElement(Element& element, uint32_t callerFlags) {
  element.flags = callerFlags;
  element.width = 0;
  element.precision = 1;
  element.prefix = 0;
  element.grouping = false;
  element.groupCounter = 0;
  element.numeric = false;
  element.text = reinterpret_cast<const uint8_t*>(EMPTY_TEXT);
  element.length = 0;
}

void SetText8(Element& element, const char* text) {
  element.flags &= ~PF_TEXT_16BIT;
  element.text = reinterpret_cast<const uint8_t*>(text);
}

void SetSingle(Element& element, uint16_t character) {
  element.single[0] = static_cast<uint8_t>(character);
  element.single[1] = static_cast<uint8_t>(character >> 8);
  element.single[2] = 0;
  element.single[3] = 0;
  element.flags |= PF_TEXT_16BIT;
  element.text = element.single;
}

void SetWidthOrPrecision(Element& element, uint32_t value) {
  if ((element.flags & PF_HAS_PRECISION) != 0) {
    element.precision = value;
  } else {
    element.width = value;
    element.flags |= PF_HAS_WIDTH;
  }
}

// A line feed or carriage return, in the format or as a conversion character.
void LineEnd(Format& format, Element& element, uint16_t character) {
  if (character == '\n') {
    SetText8(element, LINE_END_CRLF);
    if (format.Next() == '\r') format.Advance();
  } else if (format.Next() == '\n') {
    SetText8(element, LINE_END_CRLF);
    format.Advance();
  } else {
    SetText8(element, LINE_END_CR);
  }
}

// Reads flags, width and precision after '%'. Leaves the format at the
// conversion character and returns it; returns 0 when the format ends inside
// the directive (the format is then at its zero character).
uint16_t ParseDirective(Engine& engine, Element& element) {
  Format& format = engine.format;
  for (;;) {
    format.Advance();
    uint16_t character = format.Current();
    switch (character) {
      case ' ': element.flags |= PF_SHOW_SPACE; break;
      case '+': element.flags |= PF_SHOW_PLUS; break;
      case '-': element.flags |= PF_ALIGN_LEFT; break;
      case ',': element.flags |= PF_THOUSANDS; break;
      case 'l':
      case 'L': element.flags |= PF_VALUE_64; break;
      case '.': element.flags |= PF_HAS_PRECISION; break;
      case '*':
        SetWidthOrPrecision(element, static_cast<uint32_t>(va_arg(engine.args, int32_t)));
        break;
      case '0':
        if ((element.flags & PF_HAS_PRECISION) == 0) element.flags |= PF_ZERO_FILL;
        [[fallthrough]];
      case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9': {
        // A digit run overflowing 32 bits keeps its value modulo 2^32.
        uint32_t value = 0;
        while (character >= '0' && character <= '9') {
          value = value * 10 + (character - '0');
          format.Advance();
          character = format.Current();
        }
        format.Back();
        SetWidthOrPrecision(element, value);
        break;
      }
      default:
        return character;
    }
  }
}

// The numeric conversions and the flag bits each sets and clears.
struct NumericConversion {
  char conversion;
  uint32_t set;
  uint32_t clear;
};
constexpr NumericConversion NUMERIC_CONVERSIONS[] = {
    {'d', 0, 0},
    {'u', PF_NO_SIGN, PF_SHOW_PLUS},
    {'x', PF_HEX, 0},
    {'X', PF_HEX | PF_ZERO_FILL, 0},
    {'p', PF_ZERO_FILL | PF_HEX, PF_SHOW_PLUS | PF_SHOW_SPACE | PF_VALUE_64},
};

const NumericConversion* FindNumericConversion(uint16_t character) {
  for (const NumericConversion& entry : NUMERIC_CONVERSIONS) {
    if (character == static_cast<uint8_t>(entry.conversion)) return &entry;
  }
  return nullptr;
}

// 'd', 'u', 'x', 'X' and 'p'.
void ConvertNumber(Engine& engine, Element& element, const NumericConversion& numeric) {
  const char conversion = numeric.conversion;
  uint32_t& flags = element.flags;
  flags = (flags & ~numeric.clear) | numeric.set;

  uint64_t value;
  if (conversion == 'p') {
    value = reinterpret_cast<uintptr_t>(va_arg(engine.args, const void*));
  } else if ((flags & PF_VALUE_64) != 0) {
    value = va_arg(engine.args, uint64_t);
  } else if (conversion == 'd') {
    value = static_cast<uint64_t>(static_cast<int64_t>(va_arg(engine.args, int32_t)));
  } else {
    value = va_arg(engine.args, uint32_t);
  }

  if ((flags & PF_SHOW_SPACE) != 0) element.prefix = ' ';
  if ((flags & PF_SHOW_PLUS) != 0) element.prefix = '+';
  element.grouping = (flags & PF_THOUSANDS) != 0;
  if ((flags & PF_HEX) == 0) {
    if (element.grouping) {
      flags &= ~PF_ZERO_FILL;
      element.precision = 1;
    }
    if (static_cast<int64_t>(value) < 0 && (flags & PF_NO_SIGN) == 0) {
      element.prefix = '-';
      value = 0 - value;
    }
  } else {
    element.grouping = false;
  }

  const char* last = ToDigitsReversed(engine.scratch, (flags & PF_HEX) != 0 ? 16 : 10, value);
  uint32_t length = static_cast<uint32_t>(last - engine.scratch);
  if (value == 0 && element.precision == 0) length = 0;
  element.groupCounter = length % 3 == 0 ? 0 : 3 - length % 3;
  if (element.grouping && length > 0) length += (length - 1) / 3;
  if (element.prefix != 0) {
    ++length;
    ++element.precision;
  }
  element.length = length;
  element.text = reinterpret_cast<const uint8_t*>(last);
  flags |= PF_TEXT_BACKWARD;
  element.numeric = true;

  constexpr uint32_t zeroFillMask = PF_ZERO_FILL | PF_HAS_WIDTH | PF_ALIGN_LEFT | PF_HAS_PRECISION;
  if ((flags & zeroFillMask) == (PF_ZERO_FILL | PF_HAS_WIDTH)) element.precision = element.width;
}

// Renders a nested format into the scratch area, by a second complete call
// with flags 0, and makes that the element's 8-bit text. The nested formats
// hold no conversion that nests again.
template <typename... Values>
void RenderToScratch(Engine& engine, Element& element, const char* format, Values... values) {
  PrintToBufferWithFlags(engine.scratch, SCRATCH_TEXT_SIZE, 0, format, values...);
  SetText8(element, engine.scratch);
}

// Gives the element its text for the conversion character that ended the
// directive (0: the format ended inside it).
void Convert(Engine& engine, Element& element, uint16_t conversion) {
  if (conversion == 0) {
    // The format ended inside the directive: an empty text, and the format
    // is left so that the main loop's step lands on the zero character.
    SetText8(element, EMPTY_TEXT);
    element.precision = 0;
    engine.format.Back();
    return;
  }
  if (conversion == '\n' || conversion == '\r') {
    LineEnd(engine.format, element, conversion);
    return;
  }
  if (const NumericConversion* numeric = FindNumericConversion(conversion)) {
    ConvertNumber(engine, element, *numeric);
    return;
  }
  switch (conversion) {
    case 'c':
      SetSingle(element, static_cast<uint16_t>(va_arg(engine.args, uint32_t)));
      break;
    case 'a':
    case 's':
    case 'S': {
      const uint8_t* text = va_arg(engine.args, const uint8_t*);
      if (text == nullptr) {
        SetText8(element, NULL_STRING_TEXT);
      } else {
        element.text = text;
        if (conversion != 'a') element.flags |= PF_TEXT_16BIT;
      }
      if ((element.flags & PF_HAS_PRECISION) == 0) element.precision = 0;
      break;
    }
    case 'g': {
      const EFI_GUID* guid = va_arg(engine.args, const EFI_GUID*);
      if (guid == nullptr) {
        SetText8(element, NULL_GUID_TEXT);
      } else {
        RenderToScratch(engine, element, GUID_FORMAT, uint32_t{guid->Data1},
                        uint32_t{guid->Data2}, uint32_t{guid->Data3}, uint32_t{guid->Data4[0]},
                        uint32_t{guid->Data4[1]}, uint32_t{guid->Data4[2]},
                        uint32_t{guid->Data4[3]}, uint32_t{guid->Data4[4]},
                        uint32_t{guid->Data4[5]}, uint32_t{guid->Data4[6]},
                        uint32_t{guid->Data4[7]});
      }
      break;
    }
    case 't': {
      const EFI_TIME* time = va_arg(engine.args, const EFI_TIME*);
      if (time == nullptr) {
        SetText8(element, NULL_TIME_TEXT);
      } else {
        RenderToScratch(engine, element, TIME_FORMAT, int32_t{time->Month}, int32_t{time->Day},
                        int32_t{time->Year}, int32_t{time->Hour}, int32_t{time->Minute});
      }
      break;
    }
    case 'r': {
      const EFI_STATUS status = va_arg(engine.args, uint32_t);
      if (const char* name = StatusText(status)) {
        SetText8(element, name);
      } else {
        RenderToScratch(engine, element, STATUS_FALLBACK_FORMAT, status);
      }
      break;
    }
    default:
      SetSingle(element, conversion);
      break;
  }
}

// Measures the element's text and emits padding, prefix and text.
void Emit(Output& out, Element& element) {
  const uint32_t flags = element.flags;
  const uint32_t textSize = (flags & PF_TEXT_16BIT) != 0 ? 2 : 1;
  if (!element.numeric) {
    const bool limited = (flags & PF_HAS_PRECISION) != 0;
    uint32_t length = 0;
    for (const uint8_t* p = element.text; !limited || length < element.precision; p += textSize) {
      if (CharacterAt(p, textSize) == 0) break;
      ++length;
    }
    element.length = length;
  }
  if (element.precision < element.length) element.precision = element.length;

  const bool hasWidth = (flags & PF_HAS_WIDTH) != 0;
  const bool alignLeft = (flags & PF_ALIGN_LEFT) != 0;
  if (hasWidth && !alignLeft) Put(out, PadCount(element.width, element.precision), ' ');
  if (element.numeric) {
    if (element.prefix != 0) Put(out, 1, element.prefix);
    Put(out, PadCount(element.precision, element.length), '0');
  } else {
    Put(out, PadCount(element.precision, element.length), ' ');
  }

  const bool backward = (flags & PF_TEXT_BACKWARD) != 0;
  const uint8_t* text = element.text;
  for (uint32_t position = element.prefix != 0 ? 1 : 0; position < element.length;) {
    Put(out, 1, CharacterAt(text, textSize));
    text = backward ? text - textSize : text + textSize;
    ++position;
    if (element.grouping && ++element.groupCounter == 3) {
      element.groupCounter = 0;
      ++position;
      if (position < element.length) Put(out, 1, ',');
    }
  }

  if (hasWidth && alignLeft) Put(out, PadCount(element.width, element.precision), ' ');
}

// Divides `value` in place by `divisor` (at most 2^16) and returns the
// remainder, with 32-bit divisions only: the high word first, then its
// remainder carried into the low word sixteen bits at a time, so that every
// dividend stays below divisor * 2^16 and every quotient fits its slot.
uint32_t DivideInPlace(uint64_t& value, uint32_t divisor) {
  const uint32_t high = static_cast<uint32_t>(value >> 32);
  const uint32_t low = static_cast<uint32_t>(value);
  const uint32_t quotientHigh = high / divisor;
  uint32_t dividend = ((high % divisor) << 16) | (low >> 16);
  const uint32_t quotientMiddle = dividend / divisor;
  dividend = ((dividend % divisor) << 16) | (low & 0xFFFFu);
  const uint32_t quotientLow = dividend / divisor;
  value = (static_cast<uint64_t>(quotientHigh) << 32) | (quotientMiddle << 16) | quotientLow;
  return dividend % divisor;
}

}  // namespace

uint8_t* FillCharacters(uint8_t* cursor, const uint8_t* end, int32_t count, uint16_t character,
                        uint32_t characterSize) {
  const uint32_t size = characterSize == 2 ? 2 : 1;
  for (int32_t i = 0; i < count && cursor < end && static_cast<size_t>(end - cursor) >= size; ++i) {
    cursor[0] = static_cast<uint8_t>(character);
    if (size == 2) cursor[1] = static_cast<uint8_t>(character >> 8);
    cursor += size;
  }
  return cursor;
}

char* ToDigitsReversed(char* scratch, uint32_t radix, uint64_t value) {
  const uint32_t divisor = radix == 16 ? 16 : 10;
  char* position = scratch;
  *position = 0;
  do {
    *++position = HEX_DIGITS[DivideInPlace(value, divisor)];
  } while (value != 0);
  return position;
}

uint32_t PrintEngine(void* buffer, uint32_t size, uint32_t flags, const void* format,
                     va_list args) {
  const uint32_t callerFlags = flags & PF_CALLER_FLAGS;
  Engine engine;
  Output& out = engine.out;
  out.characterSize = (callerFlags & PF_OUT_16BIT) != 0 ? 2 : 1;
  out.measuring = (callerFlags & PF_MEASURE_ONLY) != 0;
  out.measured = 0;
  out.start = out.cursor = nullptr;
  out.end = nullptr;
  if (!out.measuring) {
    if (size == 0 || buffer == nullptr) return 0;
    out.start = out.cursor = static_cast<uint8_t*>(buffer);
    // The output end lies size - 1 characters on, and the terminator after
    // it; should that pass the top of the address space, both are pulled back
    // below it rather than wrapping.
    const uintptr_t room = (UINTPTR_MAX - reinterpret_cast<uintptr_t>(buffer)) / out.characterSize;
    if (room == 0) return 0;
    const uintptr_t textCapacity = size - 1 < room - 1 ? size - 1 : room - 1;
    out.end = out.start + textCapacity * out.characterSize;
  }
  engine.format.at = static_cast<const uint8_t*>(format);
  engine.format.characterSize = (callerFlags & PF_FMT_16BIT) != 0 ? 2 : 1;
  va_copy(engine.args, args);

  Element element;
  while (engine.format.Current() != 0) {
    if (!out.measuring && out.cursor >= out.end) break;
    ResetElement(element, callerFlags);
    const uint16_t character = engine.format.Current();
    if (character == '%') {
      Convert(engine, element, ParseDirective(engine, element));
    } else if (character == '\n' || character == '\r') {
      LineEnd(engine.format, element, character);
    } else {
      SetSingle(element, character);
    }
    Emit(out, element);
    engine.format.Advance();
  }
  va_end(engine.args);

  if (out.measuring) return out.measured;
  FillCharacters(out.cursor, out.end + out.characterSize, 1, 0, out.characterSize);
  return static_cast<uint32_t>((out.cursor - out.start) / out.characterSize);
}

uint32_t PrintToBufferWithFlags(void* buffer, uint32_t size, uint32_t flags, const void* format,
                                ...) {
  va_list args;
  va_start(args, format);
  const uint32_t count = PrintEngine(buffer, size, flags, format, args);
  va_end(args);
  return count;
}

uint32_t PrintToBuffer(char* buffer, uint32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const uint32_t count = PrintEngine(buffer, size, 0, format, args);
  va_end(args);
  return count;
}
