#include "firmware/image_machine.h"

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pe_format.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {
namespace {

template <typename T>
std::optional<T> RecordAt(std::span<const uint8_t> bytes, uint64_t at) {
  if (at > bytes.size() || bytes.size() - at < sizeof(T)) return std::nullopt;
  return ReadRecord<T>(bytes, at);
}

}  // namespace

std::optional<uint16_t> ImageMachine(std::span<const uint8_t> image) {
  if (const auto te = RecordAt<TeImageHeader>(image, 0); te && te->Signature == TE_SIGNATURE) return te->Machine;
  const auto dos = RecordAt<PeDosHeader>(image, 0);
  if (!dos || dos->e_magic != PE_DOS_MAGIC) return std::nullopt;
  const auto signature = RecordAt<uint32_t>(image, dos->e_lfanew);
  const auto coff = RecordAt<CoffFileHeader>(image, uint64_t{dos->e_lfanew} + sizeof(uint32_t));
  if (!signature || *signature != PE_SIGNATURE || !coff) return std::nullopt;
  return coff->Machine;
}

std::optional<uint16_t> FileMachine(const FfsFile& file) {
  std::vector<Section> sections;
  try {
    sections = ParseSections(file.data);
  } catch (const FirmwareError&) {
    return std::nullopt;
  }
  for (const Section& s : sections)
    if (s.type == EFI_SECTION_PE32 || s.type == EFI_SECTION_TE) return ImageMachine(s.payload);
  return std::nullopt;
}

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case PE_MACHINE_I386: return "IA-32";
    case PE_MACHINE_X64: return "x86-64";
  }
  return "machine " + common::Hex(machine, 4);
}

}  // namespace firmware
