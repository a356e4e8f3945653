// veriflash demo: the default image, checked as it is (the boot continues)
// and with one byte of the checked region flipped (POST code 0x8F, trace
// line, halt). Needs no files.
#include <fmt/core.h>

#include "module/check/end_of_pei.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

// A byte well inside the checked region.
constexpr uint32_t TAMPERED_BYTE = vplat::REGION_BASE + 0x12345;

struct DemoOptions {
  PlatformOptions platform;
  bool trace = false;
  OutputOptions output;
};

struct Case {
  FlashFile file;
  Analysis analysis;
  EngineRun run;
};

Case Check(const DemoOptions& o, FlashFile file, const std::optional<ModuleChoice>& module) {
  Analysis analysis = AnalyzeImage(file.window, file.layout);
  EngineRun run = RunModule(o.platform.engine, MakeScenario(o.platform, file.name, file.window), module ? *module : ModuleChoice{});
  return {std::move(file), std::move(analysis), std::move(run)};
}

int RunDemo(const DemoOptions& o) {
  std::vector<uint8_t> image = vplat::BuildFlashImage({});
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) {
    module = ChooseModule(o.platform, "the default image", image,
                          AnalyzeImage(image, firmware::BiosRegionLayout(image.size())));
    firmware::PlaceModule(image, module->efi, module->address);  // the image as it would be flashed
  }
  std::vector<uint8_t> tampered = image;
  tampered[vplat::OffsetOf(tampered, TAMPERED_BYTE)] ^= 0x01;
  std::string tamperedName = fmt::format("the default image with bit 0 of the byte at {} flipped",
                                         Where(firmware::BiosRegionLayout(image.size()), TAMPERED_BYTE));

  const Case cases[] = {
      Check(o, MapFlashFile("the default image", std::move(image)), module),
      Check(o, MapFlashFile(std::move(tamperedName), std::move(tampered)), module),
  };
  const ModuleChoice* emulated = module ? &*module : nullptr;
  const auto subject = [&](const Case& c) { return RunSubject{c.file.name, o.platform, c.run, emulated, c.analysis, o.trace}; };
  const auto placed = [&](const Case& c) { return FindPlacedModule(c.file.window); };
  const bool asExpected = RunExitStatus(subject(cases[0])) == EXIT_PASS &&
                          RunExitStatus(subject(cases[1])) == EXIT_FAIL &&
                          cases[1].run.outcome.postCodes == std::vector<uint8_t>{POST_CODE_VERIFY_FAILED};

  if (o.output.json) {
    nlohmann::json doc = {{"asExpected", asExpected}, {"cases", nlohmann::json::array()}};
    for (const Case& c : cases) {
      const auto found = placed(c);
      doc["cases"].push_back({{"name", c.file.name}, {"inspect", InspectJson({c.file.name, c.analysis, found})},
                              {"run", RunJson(subject(c))}});
    }
    PrintJson(doc);
  } else {
    fmt::print("veriflash demo: the module's end-of-PEI check on the default 8 MiB image, {} engine\n",
               EngineName(o.platform.engine));
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[i];
      const auto found = placed(c);
      fmt::print("\n=== {}. {} ===\n\n", i + 1, c.file.name);
      const InspectSubject inspected{c.file.name, c.analysis, found};
      if (i == 0) {
        PrintInspect(inspected);
      } else {
        PrintChecks(inspected);
      }
      fmt::print("\n");
      PrintRun(subject(c), o.output.verbose);
    }
    fmt::print("\n{}\n", asExpected ? "demo: as expected, the default image boots and the tampered one stops at POST code 0x8F"
                                    : "demo: NOT as expected; see the reports above");
  }
  return asExpected ? EXIT_PASS : EXIT_FAIL;
}

}  // namespace

void SetupDemo(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Build the default image in memory, run the module on it (the check passes), flip one bit of the checked "
      "region and run it again (POST code 0x8F, trace line, halt), and report both. Needs no files. Exit status 0 "
      "when both turn out as expected.");
  AddPlatformOptions(*demo, o->platform);
  demo->add_flag("--trace", o->trace, "Also list every port, MMIO and service access in order");
  AddOutputOptions(*demo, o->output);
  demo->callback([o, &chosen] { chosen = [o] { return RunDemo(*o); }; });
}

}  // namespace veriflash
