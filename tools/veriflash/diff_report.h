// The report of `diff`: the differing ranges with what each lies in, the
// files that differ (and inside them, those of their compressed volumes),
// what that means for the check, and the two verdicts; as text or as one
// JSON document.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "firmware/flash_layout.h"
#include "tools/veriflash/image_diff.h"

namespace veriflash {

struct DiffSubject {
  std::string nameA, nameB;
  const firmware::FlashLayout& layout;  // of the first image
  const ImageDiff& diff;
};

std::string DiffText(const DiffSubject& subject);
nlohmann::json DiffJson(const DiffSubject& subject);

}  // namespace veriflash
