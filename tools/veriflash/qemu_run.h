// run --engine qemu: boots the image in real firmware and reports what the
// module did there (its PIT accesses, its POST code, the halt loop) or how
// far the boot went, with the time to the verdict.
#pragma once

#include <string>

#include "tools/veriflash/output_options.h"

namespace veriflash {

struct QemuRunOptions {
  std::string image;
  double timeoutSeconds = 60;
  OutputOptions output;
};

// EXIT_PASS: past PEI to the boot manager without POST code 0x8F; EXIT_FAIL:
// 0x8F and the halt loop; a ToolError when QEMU is missing, the image holds
// no firmware, or the boot gave no verdict.
int RunInQemu(const QemuRunOptions& options);

}  // namespace veriflash
