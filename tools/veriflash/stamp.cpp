#include "tools/veriflash/stamp.h"

#include <fmt/core.h>

#include <algorithm>

#include "firmware/flash_region_overlap.h"
#include "module/fit/fit.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

Stamp StampReferenceDigest(FlashFile& file, bool allowOverlap) {
  const Analysis analysis = AnalyzeImage(file.window, file.layout);
  const auto refuse = [&](const std::string& why) {
    throw ToolError(fmt::format("{}: cannot stamp: {}", file.name, why));
  };
  const StepResult& last = analysis.steps.back();
  if (!HoldsRegion(file.layout)) refuse(last.summary);
  if (analysis.manifest && uint64_t{*analysis.manifest} + MANIFEST_READ_SIZE > firmware::FOUR_GIB)
    refuse(fmt::format("the reference digest of the manifest at {} would run past 4 GiB",
                       Where(file.layout, *analysis.manifest)));
  if (!analysis.reference) refuse("no usable FIT or manifest: " + last.summary);
  const uint32_t at = *analysis.manifest + MANIFEST_DIGEST_OFFSET;
  if (DigestFieldInRegion(*analysis.manifest))
    refuse(fmt::format("the manifest's reference digest at {} lies inside the checked region: writing it changes the "
                       "hashed bytes, so no digest can ever match",
                       Where(file.layout, at)));

  const auto module = FindPlacedModule(file.window);
  if (module && at < uint64_t{module->base} + module->size && uint64_t{at} + MANIFEST_DIGEST_SIZE > module->base)
    refuse(fmt::format("the manifest's reference digest at {} lies inside the module placed at {}", Where(file.layout, at),
                       Where(file.layout, module->base)));

  if (file.layout.descriptor && !allowOverlap) {
    const uint32_t first = file.layout.FileOffset(at);
    const auto others =
        firmware::OtherRegionsAt(file.layout.descriptor->regions, file.layout.bios, first, first + MANIFEST_DIGEST_SIZE - 1);
    if (!others.empty())
      refuse(fmt::format("the manifest's reference digest at {} lies in the {} region {}-{} as well as the BIOS "
                         "region; give --allow-overlap to write it all the same",
                         Where(file.layout, at), firmware::FlashRegionName(others.front().index),
                         Hex(others.front().first), Hex(others.front().last)));
  }

  Stamp stamp{at, *analysis.reference, *analysis.computed, {}};
  std::copy(stamp.after.begin(), stamp.after.end(), file.bytes.begin() + file.layout.FileOffset(at));
  std::copy(stamp.after.begin(), stamp.after.end(), file.window.begin() + (at - file.layout.WindowBase()));
  stamp.stamped = AnalyzeImage(file.window, file.layout);
  if (!stamp.stamped.Passes())
    refuse(fmt::format("writing the reference digest at {} changes what the check reads: the stamped image would fail "
                       "at {}: {}",
                       Where(file.layout, at), StepName(stamp.stamped.steps.back().step),
                       FailureReason(stamp.stamped.steps.back())));
  return stamp;
}

}  // namespace veriflash
