#include "tests/support/pe_recipe.h"

#include <cstring>

namespace test_support {
namespace {

using namespace firmware;

constexpr uint32_t ALIGN = 0x20;

uint32_t AlignUp(uint32_t value) { return (value + ALIGN - 1) & ~(ALIGN - 1); }

template <typename T>
void Put(std::vector<uint8_t>& bytes, uint32_t at, const T& record) {
  std::memcpy(&bytes[at], &record, sizeof record);
}

PeSectionHeader Section(const char* name, uint32_t rva, uint32_t size, uint32_t characteristics) {
  PeSectionHeader s{};
  std::memcpy(s.Name, name, std::strlen(name));
  s.VirtualSize = size;
  s.VirtualAddress = rva;
  s.SizeOfRawData = AlignUp(size);
  s.PointerToRawData = rva;
  s.Characteristics = characteristics;
  return s;
}

}  // namespace

std::vector<uint8_t> BuildPe(const PeRecipe& recipe) {
  static_assert(SECTIONS_AT + 2 * sizeof(PeSectionHeader) <= TEXT_RVA);
  const uint32_t textSize = static_cast<uint32_t>(recipe.code.size());
  const uint32_t relocRva = TEXT_RVA + AlignUp(textSize);
  const uint32_t relocSize = sizeof(PeBaseRelocationBlock) + 2 * static_cast<uint32_t>(recipe.relocations.size());
  const uint32_t end = relocRva + AlignUp(relocSize);
  std::vector<uint8_t> b(end, 0);

  PeDosHeader dos{};
  dos.e_magic = PE_DOS_MAGIC;
  dos.e_lfanew = PE_HEADER_AT;
  Put(b, 0, dos);
  Put(b, PE_HEADER_AT, PE_SIGNATURE);
  CoffFileHeader coff{};
  coff.Machine = recipe.machine;
  coff.NumberOfSections = 2;
  coff.SizeOfOptionalHeader = sizeof(PeOptionalHeader32Full);
  coff.Characteristics = PE_FILE_EXECUTABLE_IMAGE | PE_FILE_32BIT_MACHINE | PE_FILE_DLL;
  Put(b, COFF_AT, coff);
  PeOptionalHeader32Full opt{};
  opt.header.Magic = recipe.magic;
  opt.header.AddressOfEntryPoint = TEXT_RVA;
  opt.header.ImageBase = recipe.imageBase;
  opt.header.SectionAlignment = ALIGN;
  opt.header.FileAlignment = ALIGN;
  opt.header.SizeOfImage = end;
  opt.header.SizeOfHeaders = TEXT_RVA;
  opt.header.Subsystem = recipe.subsystem;
  opt.header.NumberOfRvaAndSizes = PE_DIRECTORY_COUNT;
  if (recipe.relocationDirectory) opt.DataDirectory[PE_DIRECTORY_BASE_RELOCATION] = {relocRva, relocSize};
  Put(b, OPTIONAL_AT, opt);
  Put(b, SECTIONS_AT, Section(".text", TEXT_RVA, textSize, recipe.textCharacteristics));
  Put(b, SECTIONS_AT + sizeof(PeSectionHeader),
      Section(".reloc", relocRva, relocSize, PE_SCN_CNT_INITIALIZED_DATA | PE_SCN_MEM_READ | PE_SCN_MEM_DISCARDABLE));
  std::memcpy(&b[TEXT_RVA], recipe.code.data(), textSize);
  Put(b, relocRva, PeBaseRelocationBlock{0, relocSize});
  for (size_t i = 0; i < recipe.relocations.size(); ++i)
    Put(b, relocRva + sizeof(PeBaseRelocationBlock) + 2 * static_cast<uint32_t>(i), recipe.relocations[i]);
  return b;
}

}  // namespace test_support
