// The end-of-PEI check worked through on an image file, step by step, without
// running the module: whether the flash holds the whole checked region, where
// the FIT pointer leads, whether the FIT's header
// and checksum hold, which entry names the boot policy manifest, whether the
// manifest's signature holds, and whether its reference digest matches the
// region. Each step ends with the status the module's lookup would give, so
// the first failing one says which rule the image breaks and why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/digest.h"
#include "firmware/flash_layout.h"
#include "module/types/efi_types.h"
#include "runners/verdict.h"

namespace veriflash {

enum class CheckStep { Region, FitHeader, FitChecksum, ManifestEntry, ManifestSignature, Digest };
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
  firmware::FlashLayout layout;          // where the analysed window lies in the file
  uint32_t fitPointer = 0;               // the word at 0xFFFFFFC0
  std::optional<FitView> fit;            // when the header's signature matched inside the image
  std::optional<uint32_t> manifestEntry; // index of the first type 0x0C entry
  std::optional<uint32_t> manifest;      // the address that entry gives
  std::optional<common::Digest> computed;  // when the flash holds the whole region
  std::optional<common::Digest> reference;  // when the manifest's signature held
  std::vector<StepResult> steps;         // up to and including the first failure

  bool Passes() const { return !steps.empty() && !EfiError(steps.back().status); }
};

// Pass or Fail: what the module would do with the image.
inline runners::Verdict VerdictOf(const Analysis& analysis) {
  return analysis.Passes() ? runners::Verdict::Pass : runners::Verdict::Fail;
}

// `window` holds the mapped bytes of a file that `layout` describes; they end
// at 4 GiB. A caller that checks many images around one region may give the
// region's digest, known already.
Analysis AnalyzeImage(const std::vector<uint8_t>& window, firmware::FlashLayout layout,
                      const std::optional<common::Digest>& regionDigest = std::nullopt);

// The mapped flash holds the whole checked region.
bool HoldsRegion(const firmware::FlashLayout& layout);

// The manifest's reference digest lies inside the checked region: writing it
// changes the hashed bytes, so no digest can ever match.
bool DigestFieldInRegion(uint32_t manifest);

// "Boot Policy Manifest" for 0x0C; "type 0x55" for types without a name.
std::string FitTypeName(uint8_t type);

}  // namespace veriflash
