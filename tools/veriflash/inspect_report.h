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

namespace veriflash {

struct InspectSubject {
  std::string name;  // the file, or what the image is
  const Analysis& analysis;
  const std::optional<firmware::PlacedModule>& module;
};

// "FIT checksum does not sum to zero: CRC Error".
std::string FailureReason(const StepResult& step);

nlohmann::json InspectJson(const InspectSubject& subject);
void PrintInspect(const InspectSubject& subject);
// Only the digests, the steps and the verdict.
void PrintChecks(const InspectSubject& subject);

}  // namespace veriflash
