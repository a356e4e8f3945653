#include "tools/veriflash/flash_span.h"

#include <fmt/core.h>

#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

void RequireApart(const std::vector<FlashSpan>& spans) {
  for (size_t i = 0; i < spans.size(); ++i)
    for (size_t k = i + 1; k < spans.size(); ++k)
      if (spans[i].first < spans[k].end && spans[k].first < spans[i].end)
        throw ToolError(fmt::format("the {} at {} would overlap the {} at {}", spans[k].what, Hex(spans[k].first, 8),
                                    spans[i].what, Hex(spans[i].first, 8)));
}

}  // namespace veriflash
