#include "tests/emu/pe_builder.h"

#include <cstring>

namespace emu_test {
namespace {

constexpr uint32_t ALIGN = 0x20;
constexpr uint32_t PE_AT = 0x40, COFF_AT = PE_AT + 4, OPT_AT = COFF_AT + 20, OPT_SIZE = 96 + 16 * 8,
                   SECTIONS_AT = OPT_AT + OPT_SIZE;

uint32_t AlignUp(uint32_t value) { return (value + ALIGN - 1) & ~(ALIGN - 1); }

void Put16(std::vector<uint8_t>& b, uint32_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t>& b, uint32_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

void PutSection(std::vector<uint8_t>& b, int index, const char* name, uint32_t rva, uint32_t size,
                uint32_t characteristics) {
  const uint32_t at = SECTIONS_AT + 40 * index;
  std::memcpy(&b[at], name, std::strlen(name));
  Put32(b, at + 8, size);
  Put32(b, at + 12, rva);
  Put32(b, at + 16, AlignUp(size));
  Put32(b, at + 20, rva);
  Put32(b, at + 36, characteristics);
}

}  // namespace

std::vector<uint8_t> BuildPe(const PeSpec& spec) {
  static_assert(SECTIONS_AT + 2 * 40 <= TEXT_RVA);
  const uint32_t textSize = static_cast<uint32_t>(spec.code.size());
  const uint32_t relocRva = TEXT_RVA + AlignUp(textSize);
  const uint32_t relocSize = 8 + 2 * static_cast<uint32_t>(spec.relocations.size());
  const uint32_t end = relocRva + AlignUp(relocSize);
  std::vector<uint8_t> b(end, 0);

  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, PE_AT);
  std::memcpy(&b[PE_AT], "PE\0\0", 4);
  Put16(b, COFF_AT, spec.machine);
  Put16(b, COFF_AT + 2, 2);
  Put16(b, COFF_AT + 16, OPT_SIZE);
  Put16(b, COFF_AT + 18, 0x2102);  // executable, 32-bit, DLL
  Put16(b, OPT_AT, spec.magic);
  Put32(b, OPT_AT + 16, TEXT_RVA);
  Put32(b, OPT_AT + 28, spec.imageBase);
  Put32(b, OPT_AT + 32, ALIGN);
  Put32(b, OPT_AT + 36, ALIGN);
  Put32(b, OPT_AT + 56, end);
  Put32(b, OPT_AT + 60, TEXT_RVA);
  Put16(b, OPT_AT + 68, spec.subsystem);
  Put32(b, OPT_AT + 92, 16);
  if (spec.relocationDirectory) {
    Put32(b, OPT_AT + 96 + 5 * 8, relocRva);
    Put32(b, OPT_AT + 96 + 5 * 8 + 4, relocSize);
  }
  PutSection(b, 0, ".text", TEXT_RVA, textSize, 0x60000020);  // code, execute, read
  PutSection(b, 1, ".reloc", relocRva, relocSize, 0x42000040);
  std::memcpy(&b[TEXT_RVA], spec.code.data(), textSize);
  Put32(b, relocRva, 0);
  Put32(b, relocRva + 4, relocSize);
  for (size_t i = 0; i < spec.relocations.size(); ++i)
    Put16(b, relocRva + 8 + 2 * static_cast<uint32_t>(i), spec.relocations[i]);
  return b;
}

}  // namespace emu_test
