#include "tools/veriflash/platform_options.h"

#include <fmt/core.h>

#include <utility>

#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/option_words.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

// In the order --help lists them.
const std::vector<std::pair<std::string, vplat::TraceHubMode>> TRACE_HUB_MODES = {
    {"present", vplat::TraceHubMode::Present},
    {"disabled", vplat::TraceHubMode::Disabled},
    {"aperture-dead", vplat::TraceHubMode::ApertureDead},
    {"absent", vplat::TraceHubMode::Absent},
};

}  // namespace

const char* TraceHubName(vplat::TraceHubMode mode) {
  for (const auto& [name, value] : TRACE_HUB_MODES)
    if (value == mode) return name.c_str();
  return "?";
}

void AddPlatformOptions(CLI::App& command, PlatformOptions& o, bool qemu) {
  std::vector<std::pair<std::string, Engine>> engines = {{"emulated", Engine::Emulated}, {"native", Engine::Native}};
  if (qemu) engines.emplace_back("qemu", Engine::Qemu);
  command
      .add_option("--engine", o.engine,
                  std::string("emulated: the real veriflash.efi on an emulated i386; native: the host build of the same "
                              "logic") +
                      (qemu ? "; qemu: boot an image made with image create --firmware in real firmware under "
                              "qemu-system-i386 or qemu-system-x86_64, as its DXE core asks"
                            : ""))
      ->transform(Words(engines))
      ->option_text(qemu ? "emulated|native|qemu (default emulated)" : "emulated|native (default emulated)");
  command
      .add_option("--trace-hub", o.traceHub,
                  "The platform's trace hub: present; disabled (its disable bit set); aperture-dead (configured, but "
                  "its aperture answers all ones); absent (no PCI function answers)")
      ->transform(Words(TRACE_HUB_MODES))
      ->option_text("present|disabled|aperture-dead|absent (default present)");
  command.add_option_function<std::string>(
             "--tsc-hob", [&o](const std::string& value) { o.tscHob = value == "present"; },
             "A TSC frequency HOB before the module runs: absent (the module measures and publishes one) or present")
      ->check(OneOf({"absent", "present"}))
      ->option_text("absent|present (default absent)");
  command
      .add_option("--module", o.module,
                  "Run this module file instead of the image's own module: placed where the image holds one, "
                  "else at 0xFFD40000. Without it the emulated engine runs the module the image holds, as the board "
                  "would, or the veriflash.efi this program ships when the image holds none")
      ->option_text("FILE");
}

runners::Scenario MakeScenario(const PlatformOptions& o, std::string name, std::vector<uint8_t> image) {
  runners::Scenario s;
  s.name = std::move(name);
  s.image = std::move(image);
  s.traceHub = o.traceHub;
  s.tscHobPresent = o.tscHob;
  return s;
}

std::string DescribePlatform(const PlatformOptions& o) {
  return fmt::format("trace hub {}, {} TSC frequency HOB before the run", TraceHubName(o.traceHub),
                     o.tscHob ? "a" : "no");
}

}  // namespace veriflash
