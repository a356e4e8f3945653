#include "firmware/peim_file.h"

#include "firmware/pe_image.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {
namespace {

constexpr uint8_t ALWAYS_DEPEX[] = {EFI_DEP_TRUE, EFI_DEP_END};

constexpr uint32_t DEPEX_SECTION_SIZE = sizeof(CommonSectionHeader) + sizeof ALWAYS_DEPEX;
constexpr uint32_t AFTER_DEPEX = static_cast<uint32_t>(AlignUp(DEPEX_SECTION_SIZE, SECTION_ALIGNMENT));

// The name as UCS-2, ended by a zero character.
std::vector<uint8_t> Ucs2(const std::string& text) {
  std::vector<uint8_t> out;
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), {0, 0});
  return out;
}

}  // namespace

uint32_t PeimImageOffset(uint32_t sectionAlignment) {
  const uint32_t alignment = std::max(sectionAlignment, SECTION_ALIGNMENT);
  const uint32_t unpadded = AFTER_DEPEX + sizeof(CommonSectionHeader);
  // A pad section needs room for at least its own header.
  uint32_t at = static_cast<uint32_t>(AlignUp(unpadded, alignment));
  if (at != unpadded && at - unpadded < sizeof(CommonSectionHeader)) at += alignment;
  return at;
}

FfsFile MakePeimFile(std::span<const uint8_t> pe32, const PeimFileOptions& options) {
  const PeInfo info = ReadPe(pe32);
  const uint32_t imageAt = PeimImageOffset(info.sectionAlignment);
  std::vector<Section> sections;
  sections.push_back(MakeSection(EFI_SECTION_PEI_DEPEX, {std::begin(ALWAYS_DEPEX), std::end(ALWAYS_DEPEX)}));
  const uint32_t padAt = AFTER_DEPEX;
  const uint32_t peSectionAt = imageAt - sizeof(CommonSectionHeader);
  if (peSectionAt != padAt)
    sections.push_back(MakeSection(EFI_SECTION_RAW, std::vector<uint8_t>(peSectionAt - padAt - sizeof(CommonSectionHeader), 0)));
  sections.push_back(MakeSection(EFI_SECTION_PE32, {pe32.begin(), pe32.end()}));
  sections.push_back(MakeSection(EFI_SECTION_USER_INTERFACE, Ucs2(options.uiName)));

  FfsFile file;
  file.name = options.name;
  file.type = FV_FILETYPE_PEIM;
  file.attributes = FfsAlignmentAttributes(info.sectionAlignment) | FFS_ATTRIB_CHECKSUM;
  file.data = WriteSections(sections);
  return file;
}

}  // namespace firmware
