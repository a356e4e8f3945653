#include "tools/veriflash/flash_span.h"

#include <fmt/core.h>

#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

void RequireClear(const FlashSpan& placed, const std::vector<FlashSpan>& others) {
  for (const FlashSpan& other : others)
    if (placed.first < other.end && other.first < placed.end)
      throw ToolError(fmt::format("the {} at {} would overlap the {} at {}", placed.what, Hex(placed.first, 8),
                                  other.what, Hex(other.first, 8)));
}

void RequireApart(const std::vector<FlashSpan>& spans) {
  for (size_t k = 1; k < spans.size(); ++k) RequireClear(spans[k], {spans.begin(), spans.begin() + static_cast<ptrdiff_t>(k)});
}

}  // namespace veriflash
