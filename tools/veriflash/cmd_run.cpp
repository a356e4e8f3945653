// veriflash run IMAGE: runs the module on the image, emulated (the real
// veriflash.efi) or native (the host build), and reports what it did.
#include <fmt/core.h>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"
#include "tools/veriflash/qemu_run.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/tool_error.h"
#include "tools/veriflash/unmapped_run_report.h"

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
  const FlashFile file = LoadFlashFile(o.image);
  const std::vector<uint8_t>& image = file.window;  // what the engines map below 4 GiB
  const Analysis analysis = AnalyzeImage(image, file.layout);
  if (!HoldsRegion(analysis.layout))
    return ReportUnmappedRegion(o.image, o.platform, analysis, o.output);
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) {
    module = ChooseModule(o.platform, o.image, image, analysis);
    if (module->source == ModuleSource::Shipped)
      fmt::print(stderr, "veriflash: note: {} holds no module; running the shipped build placed at {}\n", o.image,
                 Hex(module->address, 8));
  }
  Note(o.output, fmt::format("running {} on the {} engine", o.image, EngineName(o.platform.engine)));
  const EngineRun run =
      RunModule(o.platform.engine, MakeScenario(o.platform, o.image, image), module ? &*module : nullptr);
  const RunSubject subject{o.image, o.platform, run, module ? &*module : nullptr, analysis, o.trace};
  const runners::Verdict verdict = runners::VerdictOf(run.outcome);
  if (o.output.json) {
    PrintJson(RunJson(subject));
  } else {
    PrintRun(subject, o.output.verbose);
  }
  // The analysis works the shipped logic through; only a run of that same
  // logic can contradict it.
  const bool shippedLogic = !module || module->identicalToShipped.value_or(false);
  if (verdict != VerdictOf(analysis) && shippedLogic)
    fmt::print(stderr, "veriflash: warning: {}: the run and the analysis of inspect disagree; please report this image\n",
               o.image);
  return ExitStatusOf(verdict);
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
      "made by image create --firmware in its firmware under QEMU instead (a fresh copy each time) and report "
      "the module's PIT writes, the POST codes, the halt loop and the time to the verdict. The firmware's DXE core "
      "picks the QEMU: qemu-system-i386 for an IA-32 one, qemu-system-x86_64 for an x86-64 one; a firmware holding "
      "MM (SMM) drivers gets SMM and secure pflash. On a pass the serial line shown is usually \"BdsDxe: failed to "
      "load Boot0001 ... Not Found\": the boot manager found no boot disk, which is normal here (there is none); "
      "reaching it means PEI and DXE are done. Exit status 0: passes; "
      "1: fails (POST code 0x8F and halt, a module that faults, halts, or never registers its End-of-PEI check); "
      "2: unusable image or module, or no verdict in QEMU.");
  run->add_option("IMAGE", o->image, IMAGE_ARGUMENT_HELP)->required()->option_text("FILE");
  AddPlatformOptions(*run, o->platform);
  run->add_flag("--trace", o->trace, "Also list every port, MMIO and service access in order");
  run->add_option("--timeout", o->timeout, "With --engine qemu: give up after this many seconds")
      ->check(CLI::Range(1.0, 3600.0))
      ->option_text("SECONDS (default 60)");
  AddOutputOptions(*run, o->output);
  run->callback([o, &chosen] { chosen = [o] { return RunRun(*o); }; });
}

}  // namespace veriflash
