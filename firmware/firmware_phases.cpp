#include "firmware/firmware_phases.h"

#include <algorithm>

#include "firmware/firmware_error.h"
#include "firmware/image_machine.h"
#include "firmware/lzma_stream.h"
#include "firmware/pe_format.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {
namespace {

// OVMF nests three deep (volume > LZMA section > volume); a file that goes
// on much further is built to exhaust the reader.
constexpr int MAX_NESTING = 8;

constexpr uint8_t MM_FILE_TYPES[] = {FV_FILETYPE_MM, FV_FILETYPE_COMBINED_MM_DXE, FV_FILETYPE_MM_CORE,
                                     FV_FILETYPE_MM_STANDALONE, FV_FILETYPE_MM_CORE_STANDALONE};

class Walker {
 public:
  explicit Walker(FirmwarePhases& phases) : phases_(phases) {}

  void Volume(std::span<const uint8_t> bytes) {
    if (!HoldsFfsFiles(bytes)) return;  // a variable store, say
    for (const FfsFile& f : ReadVolume(bytes).files) File(f);
  }

 private:
  void File(const FfsFile& f) {
    if (f.type == FV_FILETYPE_DXE_CORE && !phases_.dxeCoreMachine) phases_.dxeCoreMachine = FileMachine(f);
    if (std::find(std::begin(MM_FILE_TYPES), std::end(MM_FILE_TYPES), f.type) != std::end(MM_FILE_TYPES))
      ++phases_.mmFiles;
    if (f.type == FV_FILETYPE_RAW || f.type == FV_FILETYPE_FFS_PAD) return;
    std::vector<Section> sections;
    try {
      sections = ParseSections(f.data);
    } catch (const FirmwareError&) {
      return;  // data that is no list of sections holds no volume either
    }
    Sections(sections);
  }

  void Sections(const std::vector<Section>& sections) {
    for (const Section& s : sections) {
      if (s.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE && LooksLikeVolume(s.payload)) {
        Nested([&] { Volume(s.payload); });
      } else if (s.type == EFI_SECTION_GUID_DEFINED && s.fields.size() >= sizeof(GuidDefinedSectionFields) &&
                 GuidDefinedFields(s).SectionDefinitionGuid == LZMA_SECTION_GUID) {
        Nested([&] { Sections(ParseSections(DecodeLzma(s.payload).data)); });
      }
    }
  }

  template <typename Step>
  void Nested(Step step) {
    if (++depth_ > MAX_NESTING)
      throw FirmwareError("firmware volumes and compressed sections nested more than " + std::to_string(MAX_NESTING) +
                          " deep");
    step();
    --depth_;
  }

  FirmwarePhases& phases_;
  int depth_ = 0;
};

}  // namespace

FirmwarePhases ReadFirmwarePhases(std::span<const uint8_t> image) {
  FirmwarePhases phases;
  Walker walker(phases);
  for (size_t at = 0; at + sizeof(FirmwareVolumeHeader) <= image.size(); at += FFS_FILE_ALIGNMENT) {
    if (!LooksLikeVolume(image.subspan(at))) continue;
    const uint64_t length = ReadRecord<FirmwareVolumeHeader>(image, at).FvLength;
    if (length > image.size() - at || length < FFS_FILE_ALIGNMENT) continue;
    walker.Volume(image.subspan(at, length));
    at += length - FFS_FILE_ALIGNMENT;
  }
  return phases;
}

void RequireIa32PeiPhase(const FirmwareVolume& peiVolume) {
  for (const FfsFile& f : peiVolume.files) {
    if (f.type != FV_FILETYPE_PEI_CORE && f.type != FV_FILETYPE_PEIM) continue;
    const std::optional<uint16_t> machine = FileMachine(f);
    if (machine && *machine != PE_MACHINE_I386)
      throw FirmwareError("the PEI phase is not IA-32: " + std::string(f.type == FV_FILETYPE_PEI_CORE ? "the PEI core " : "PEIM ") +
                          GuidText(f.name) + " is " + MachineName(*machine) +
                          ", and the module is an IA-32 PEIM that runs only in an IA-32 PEI phase");
  }
}

}  // namespace firmware
