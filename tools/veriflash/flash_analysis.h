// The end-of-PEI check worked through on an image file, step by step, without
// running the module: where the FIT pointer leads, whether the FIT's header
// and checksum hold, which entry names the boot policy manifest, whether the
// manifest's signature holds, and whether its reference digest matches the
// region. Each step ends with the status the module's lookup would give, so
// the first failing one says which rule the image breaks and why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module/types/efi_types.h"
#include "vplat/flash_image.h"

namespace veriflash {

enum class CheckStep { FitHeader, FitChecksum, ManifestEntry, ManifestSignature, Digest };
const char* StepName(CheckStep step);

struct StepResult {
  CheckStep step;
  EFI_STATUS status;
  std::string summary;  // on failure, the rule broken: "FIT checksum does not sum to zero"
  std::string detail;   // the values behind it
};

struct FitRecordView {
  uint32_t index;
  uint32_t at;       // physical address of the 16-byte record
  uint64_t address;  // header: the signature's bytes
  uint32_t size;     // 24 bits
  uint16_t version;
  uint8_t typeAndFlags;
  uint8_t checksum;
};

struct FitView {
  uint32_t address;
  uint32_t count;              // entries, header included
  bool checksumValid;          // bit 7 of the header's type byte
  uint8_t sum;                 // byte sum of the table, modulo 256
  std::vector<FitRecordView> records;  // the first MAX_LISTED_RECORDS of them
};
inline constexpr uint32_t MAX_LISTED_RECORDS = 256;

struct Analysis {
  uint32_t fitPointer = 0;               // the word at 0xFFFFFFC0
  std::optional<FitView> fit;            // when the header's signature matched inside the image
  std::optional<uint32_t> manifestEntry; // index of the first type 0x0C entry
  std::optional<uint32_t> manifest;      // the address that entry gives
  common::Digest computed{};
  std::optional<common::Digest> reference;  // when the manifest's signature held
  std::vector<StepResult> steps;         // up to and including the first failure

  bool Passes() const { return !steps.empty() && !EfiError(steps.back().status); }
};

// The image must end at 4 GiB and hold the checked region.
Analysis AnalyzeImage(const std::vector<uint8_t>& image);
// The same with the region's digest known already, for a caller that checks
// many images around one region.
Analysis AnalyzeImage(const std::vector<uint8_t>& image, const common::Digest& regionDigest);

// "Boot Policy Manifest" for 0x0C; "type 0x55" for types without a name.
std::string FitTypeName(uint8_t type);

}  // namespace veriflash
