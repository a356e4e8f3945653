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

// The exit status of a run. The analysis works the shipped logic through;
// only a run of that same logic can contradict it.
int ExitStatusOfRun(const std::string& image, const runners::Outcome& outcome, const Analysis& analysis, bool shippedLogic) {
  const runners::Verdict verdict = runners::VerdictOf(outcome);
  if (verdict != VerdictOf(analysis) && shippedLogic)
    fmt::print(stderr, "veriflash: warning: {}: the run and the analysis of inspect disagree; please report this image\n",
               image);
  return ExitStatusOf(verdict);
}

// The host build runs the shipped logic: where the image's own module is
// another build, the run says nothing about that module, and a note says so.
ImageVerdict RunNativeEngine(const RunOptions& o, const std::string& imageFile, const std::vector<uint8_t>& image,
                             const Analysis& analysis) {
  for (const ModuleChoice& own : ImageModules(image))
    if (own.identicalToShipped != true)
      fmt::print(stderr,
                 "veriflash: note: {}: {}; the native engine runs the host build of the shipped logic, not that "
                 "module: --engine emulated runs it\n",
                 imageFile, DescribeModule(analysis.layout, own));
  Note(o.output, fmt::format("running {} on the native engine", imageFile));
  const EngineRun run = RunModule(o.platform.engine, MakeScenario(o.platform, imageFile, image), nullptr);
  const RunSubject subject{imageFile, o.platform, run, nullptr, analysis, o.trace};
  if (o.output.json) {
    PrintJson(RunJson(subject), o.output);
  } else {
    PrintRun(subject, o.output.verbose);
  }
  return {ExitStatusOfRun(imageFile, run.outcome, analysis, true), RunReason(subject)};
}

ImageVerdict Run(const RunOptions& o, const std::string& imageFile) {
  if (o.platform.engine == Engine::Qemu) {
    const int status = RunInQemu({imageFile, o.timeout, o.output});
    return {status, status == EXIT_PASS ? "" : "the check failed in real firmware"};
  }
  const FlashFile file = LoadFlashFile(imageFile);
  const std::vector<uint8_t>& image = file.window;  // what the engines map below 4 GiB
  const Analysis analysis = AnalyzeImage(image, file.layout);
  if (!HoldsRegion(analysis.layout))
    return {ReportUnmappedRegion(imageFile, o.platform, analysis, o.output), FailureReason(analysis.steps.back())};
  if (o.platform.engine == Engine::Native) return RunNativeEngine(o, imageFile, image, analysis);
  const std::vector<ModuleChoice> modules = ChooseModules(o.platform, imageFile, image, analysis);
  if (modules.front().source == ModuleSource::Shipped)
    fmt::print(stderr, "veriflash: note: {} holds no module; running the shipped build placed at {}\n", imageFile,
               Hex(modules.front().address, 8));
  // Every copy runs, as the board runs each PEIM; the first that fails decides.
  const runners::Scenario scenario = MakeScenario(o.platform, imageFile, image);
  std::vector<EngineRun> runs;
  for (const ModuleChoice& module : modules) {
    Note(o.output, fmt::format("running {} on the emulated engine: {}", imageFile, DescribeModule(analysis.layout, module)));
    runs.push_back(RunModule(o.platform.engine, scenario, &module));
  }
  size_t decisive = 0;
  for (size_t i = 0; i < runs.size(); ++i)
    if (runners::VerdictOf(runs[i].outcome) != runners::Verdict::Pass) {
      decisive = i;
      break;
    }
  const RunSubject subject{imageFile, o.platform, runs[decisive], &modules[decisive], analysis, o.trace};
  if (o.output.json) {
    nlohmann::json doc = RunJson(subject);
    doc["copies"] = nlohmann::json::array();
    for (size_t i = 0; i < runs.size(); ++i) {
      const RunSubject copy{imageFile, o.platform, runs[i], &modules[i], analysis, false};
      const runners::Verdict v = runners::VerdictOf(runs[i].outcome);
      doc["copies"].push_back({{"module", ModuleJson(analysis.layout, modules[i])},
                               {"verdict", runners::VerdictWord(v)},
                               {"reason", v == runners::Verdict::Pass ? nlohmann::json() : nlohmann::json(RunReason(copy))}});
    }
    PrintJson(doc, o.output);
  } else {
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs.size() > 1) fmt::print("{}copy {} of {}\n", i ? "\n" : "", i + 1, runs.size());
      PrintRun({imageFile, o.platform, runs[i], &modules[i], analysis, o.trace}, o.output.verbose);
    }
  }
  return {ExitStatusOfRun(imageFile, runs[decisive].outcome, analysis, modules[decisive].identicalToShipped.value_or(false)),
          RunReason(subject)};
}

}  // namespace

void SetupRun(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<RunOptions>();
  CLI::App* run = app.add_subcommand(
      "run",
      "Run the module on an image: ModuleEntry, then the end-of-PEI check. Reports the POST codes, the decoded "
      "trace hub messages, the HOBs (with the TSC frequency) and the verdict. The emulated engine runs the module "
      "the image holds, as the board would: placed plainly in the flash or inside its firmware volumes, compressed "
      "or not, each copy (any failing copy fails), or the shipped veriflash.efi where the image holds none, or "
      "--module FILE in place of each. The native engine runs the host build of the shipped logic and says so when "
      "the image's module is another build. The emulated and native engines see the bytes mapped below 4 GiB; an image whose mapped flash does "
      "not hold the whole checked region fails from the analysis, without a run. With --engine qemu, boot an image "
      "made by image create --firmware in its firmware under QEMU instead (a fresh copy each time) and report "
      "the module's PIT writes, the POST codes, the halt loop and the time to the verdict. A QEMU pass needs "
      "evidence, through QEMU's gdbstub, that each module in the firmware's volumes ran its entry and that its "
      "end-of-PEI check returned EFI_SUCCESS; a boot without it fails (\"the module never ran\"). The firmware's DXE core "
      "picks the QEMU: qemu-system-i386 for an IA-32 one, qemu-system-x86_64 for an x86-64 one; a firmware holding "
      "MM (SMM) drivers gets SMM and secure pflash. On a pass the serial line shown is usually \"BdsDxe: failed to "
      "load Boot0001 ... Not Found\": the boot manager found no boot disk, which is normal here (there is none); "
      "reaching it means PEI and DXE are done. Exit status 0: passes; "
      "1: fails (POST code 0x8F and halt, a module that faults, halts, never runs, or never registers its End-of-PEI check); "
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
