// Address ranges of the things placed in a flash image, to refuse placements
// that would overwrite one another.
#pragma once

#include <cstdint>
#include <vector>

namespace veriflash {

struct FlashSpan {
  const char* what;
  uint64_t first;
  uint64_t end;  // exclusive
};

// A ToolError naming the first two spans that overlap.
void RequireApart(const std::vector<FlashSpan>& spans);

// A ToolError naming the first of `others` that `placed` overlaps; the others
// may overlap each other.
void RequireClear(const FlashSpan& placed, const std::vector<FlashSpan>& others);

}  // namespace veriflash
