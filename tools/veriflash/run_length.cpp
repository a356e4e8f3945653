#include "tools/veriflash/run_length.h"

namespace veriflash {

std::string OmittedText(uint64_t runs, uint64_t items) {
  return fmt::format("… {} run{}, {} item{} not shown …", runs, runs == 1 ? "" : "s", items, items == 1 ? "" : "s");
}

}  // namespace veriflash
