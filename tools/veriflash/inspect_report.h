// The report of `inspect`: the file's layout, the flash map, the FIT's
// entries, the two digests and the verdict with its first failing step, as
// text or as one JSON document.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "firmware/pe_image.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_areas.h"
#include "tools/veriflash/module_choice.h"

namespace veriflash {

struct InspectSubject {
  std::string name;  // the file, or what the image is
  const Analysis& analysis;
  std::optional<firmware::PlacedModule> module;  // the module placed plainly in the flash
  std::optional<bool> identicalToShipped;        // of that module; see IdenticalToShipped
  std::vector<ModuleChoice> inVolumes;           // the modules inside its firmware volumes
  std::vector<FlashArea> areas;                  // descriptor regions and volumes
};

// The subject for an image: its analysis, the regions it holds, and the
// modules it holds compared with the shipped build.
InspectSubject Inspected(std::string name, const std::vector<uint8_t>& window, const Analysis& analysis);

// "FIT checksum does not sum to zero: CRC Error".
std::string FailureReason(const StepResult& step);

nlohmann::json InspectJson(const InspectSubject& subject);
void PrintInspect(const InspectSubject& subject);
// Only the digests, the steps and the verdict.
void PrintChecks(const InspectSubject& subject);

}  // namespace veriflash
