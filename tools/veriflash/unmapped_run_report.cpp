#include "tools/veriflash/unmapped_run_report.h"

#include <fmt/core.h>

#include "module/check/end_of_pei.h"
#include "tools/veriflash/flash_layout_report.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

int ReportUnmappedRegion(const std::string& name, const PlatformOptions& platform, const Analysis& analysis,
                         const OutputOptions& output) {
  const std::string reason = FailureReason(analysis.steps.back());
  if (output.json) {
    PrintJson({{"image", name},
               {"engine", EngineName(platform.engine)},
               {"ran", false},
               {"flash", FlashLayoutJson(analysis.layout)},
               {"verdict", "fail"},
               {"reason", reason}},
              output);
  } else {
    fmt::print("run      {} on the {} engine: not run, the module would only hash open bus\n", name,
               EngineName(platform.engine));
    fmt::print("flash    {}\n", DescribeFlashLayout(analysis.layout));
    fmt::print("verdict  FAIL, from the analysis without running the module: {}\n", reason);
    fmt::print("         the module would write POST code 0x{:02X} to port 0x{:02X}, send its trace line and halt\n",
               POST_CODE_VERIFY_FAILED, POST_CODE_PORT);
  }
  return EXIT_FAIL;
}

}  // namespace veriflash
