// The report of a run of the module on an image: ModuleEntry's status, the
// HOBs (with the TSC frequency), the POST codes, the decoded trace hub
// messages, the verdict and, on request, the whole access log.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/veriflash/engine.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/platform_options.h"

namespace veriflash {

struct RunSubject {
  std::string name;  // the image
  const PlatformOptions& platform;
  const EngineRun& run;
  const ModuleChoice* module;  // the emulated module, null for the native engine
  const Analysis& analysis;    // says why, where the module only halts
  bool accessLog;              // include the ordered access log
};

nlohmann::json RunJson(const RunSubject& subject);
// `verbose` adds what the run cost.
void PrintRun(const RunSubject& subject, bool verbose);

// Why the check failed or never ran; empty for a pass.
std::string RunReason(const RunSubject& subject);

// An EFI_STATUS as every report gives it: {"value": "0x...", "name": "..."};
// null when there is none.
nlohmann::json StatusJson(const std::optional<uint32_t>& status);

}  // namespace veriflash
