// veriflash run IMAGE...: runs the module on each image, emulated (the real
// veriflash.efi) or native (the host build), and reports what it did.
#include <fmt/core.h>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_set.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/number_option.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"
#include "tools/veriflash/qemu_run.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/tool_error.h"
#include "tools/veriflash/unmapped_run_report.h"
#include "tools/veriflash/unused_options.h"

namespace veriflash {
namespace {

struct RunOptions {
  ImageSetOptions images;
  PlatformOptions platform;
  bool trace = false;
  double timeout = 60;
  OutputOptions output;
};

ImageVerdict Run(const RunOptions& o, const std::string& imageFile) {
  if (o.platform.engine == Engine::Qemu) {
    const int status = RunInQemu({imageFile, o.timeout, o.output});
    return {status, status == EXIT_PASS ? "" : "POST code 0x8F and the halt loop in real firmware"};
  }
  const FlashFile file = LoadFlashFile(imageFile);
  const std::vector<uint8_t>& image = file.window;  // what the engines map below 4 GiB
  const Analysis analysis = AnalyzeImage(image, file.layout);
  if (!HoldsRegion(analysis.layout))
    return {ReportUnmappedRegion(imageFile, o.platform, analysis, o.output), FailureReason(analysis.steps.back())};
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) {
    module = ChooseModule(o.platform, imageFile, image, analysis);
    if (module->source == ModuleSource::Shipped)
      fmt::print(stderr, "veriflash: note: {} holds no module; running the shipped build placed at {}\n", imageFile,
                 Hex(module->address, 8));
  }
  Note(o.output, fmt::format("running {} on the {} engine", imageFile, EngineName(o.platform.engine)));
  const EngineRun run =
      RunModule(o.platform.engine, MakeScenario(o.platform, imageFile, image), module ? &*module : nullptr);
  const RunSubject subject{imageFile, o.platform, run, module ? &*module : nullptr, analysis, o.trace};
  const runners::Verdict verdict = runners::VerdictOf(run.outcome);
  if (o.output.json) {
    PrintJson(RunJson(subject), o.output);
  } else {
    PrintRun(subject, o.output.verbose);
  }
  // The analysis works the shipped logic through; only a run of that same
  // logic can contradict it.
  const bool shippedLogic = !module || module->identicalToShipped.value_or(false);
  if (verdict != VerdictOf(analysis) && shippedLogic)
    fmt::print(stderr, "veriflash: warning: {}: the run and the analysis of inspect disagree; please report this image\n",
               imageFile);
  return {ExitStatusOf(verdict), RunReason(subject)};
}

}  // namespace

void SetupRun(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<RunOptions>();
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the module on an image: ModuleEntry, then the end-of-PEI check. Reports the POST codes, the decoded "
      "trace hub messages, the HOBs (with the TSC frequency) and the verdict. The emulated engine runs the module "
      "the image holds, as the board would (or the shipped veriflash.efi where the image holds none, or --module "
      "FILE). The emulated and native engines see the bytes mapped below 4 GiB; an image whose mapped flash does "
      "not hold the whole checked region fails from the analysis, without a run. With --engine qemu, boot an image "
      "made by image create --firmware in OVMF under qemu-system-i386 instead (a fresh copy each time) and report "
      "the module's PIT writes, the POST codes, the halt loop and the time to the verdict. Exit status 0: passes; "
      "1: fails (POST code 0x8F and halt, a module that faults, halts, or never registers its End-of-PEI check); "
      "2: unusable image or module, or no verdict in QEMU; of several images, the worst.");
  AddImageSetOptions(*run, o->images, o->output);
  AddPlatformOptions(*run, o->platform, true);
  run->add_flag("--trace", o->trace, "Also list every port, MMIO and service access in order");
  NumberIn(run->add_option("--timeout", o->timeout, "With --engine qemu: give up after this many seconds"),
           NumberKind::Real, 1, 3600)
      ->option_text("SECONDS (default 60)");
  AddOutputOptions(*run, o->output);
  run->callback([o, run, &chosen] {
    RefuseUnusedByEngine(*run, o->platform.engine);
    chosen = [o] {
      return ForEachImage(o->images, o->output, "run", [o](const std::string& image) { return Run(*o, image); });
    };
  });
}

}  // namespace veriflash
