// veriflash run IMAGE: runs the module on the image, emulated (the real
// veriflash.efi) or native (the host build), and reports what it did.
#include <fmt/core.h>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"
#include "tools/veriflash/qemu_run.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct RunOptions {
  std::string image;
  PlatformOptions platform;
  bool trace = false;
  double timeout = 60;
  OutputOptions output;
};

int RunRun(const RunOptions& o) {
  if (o.platform.engine == Engine::Qemu) return RunInQemu({o.image, o.timeout, o.output});
  std::vector<uint8_t> image = LoadImage(o.image);
  const Analysis analysis = AnalyzeImage(image);
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) module = ChooseModule(o.platform, o.image, image, analysis);
  Note(o.output, fmt::format("running {} on the {} engine", o.image, EngineName(o.platform.engine)));
  const EngineRun run = RunModule(o.platform.engine, MakeScenario(o.platform, o.image, std::move(image)),
                                  module ? *module : ModuleChoice{});
  const RunSubject subject{o.image, o.platform, run, module ? &*module : nullptr, analysis, o.trace};
  const int status = RunExitStatus(subject);
  if (o.output.json) {
    PrintJson(RunJson(subject));
  } else {
    PrintRun(subject, o.output.verbose);
  }
  if ((status == EXIT_PASS) != analysis.Passes())
    fmt::print(stderr, "veriflash: warning: {}: the run and the analysis of inspect disagree; please report this image\n",
               o.image);
  return status;
}

}  // namespace

void SetupRun(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<RunOptions>();
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the module on an image: ModuleEntry, then the end-of-PEI check. Reports the POST codes, the decoded "
      "trace hub messages, the HOBs (with the TSC frequency) and the verdict. With --engine qemu, boot an image made "
      "by image create --firmware in OVMF under qemu-system-i386 instead (a fresh copy each time) and report the "
      "module's PIT writes, the POST codes, the halt loop and the time to the verdict. Exit status 0: passes; 1: "
      "fails (POST code 0x8F, halt); 2: unusable image or module, or no verdict.");
  run->add_option("IMAGE", o->image, "Flash image ending at 4 GiB")->required()->option_text("FILE");
  AddPlatformOptions(*run, o->platform);
  run->add_flag("--trace", o->trace, "Also list every port, MMIO and service access in order");
  run->add_option("--timeout", o->timeout, "With --engine qemu: give up after this many seconds")
      ->check(CLI::Range(1.0, 3600.0))
      ->option_text("SECONDS (default 60)");
  AddOutputOptions(*run, o->output);
  run->callback([o, &chosen] { chosen = [o] { return RunRun(*o); }; });
}

}  // namespace veriflash
