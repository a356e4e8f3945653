// veriflash demo: the default image, checked as it is (the boot continues)
// and with one byte of the checked region flipped (POST code 0x8F, trace
// line, halt). Needs no files.
#include <fmt/core.h>

#include "module/check/end_of_pei.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_choice.h"
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
  std::string name;
  std::vector<uint8_t> image;
  Analysis analysis;
  std::optional<ModuleChoice> module;  // emulated runs
  EngineRun run;
};

Case Check(const DemoOptions& o, std::string name, std::vector<uint8_t> image) {
  Analysis analysis = AnalyzeImage(image);
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) module = ChooseModule(o.platform, name, image, analysis);
  EngineRun run = RunModule(o.platform.engine, MakeScenario(o.platform, name, image), module ? &*module : nullptr);
  return {std::move(name), std::move(image), std::move(analysis), std::move(module), std::move(run)};
}

int RunDemo(const DemoOptions& o) {
  std::vector<uint8_t> image = vplat::BuildFlashImage({});
  if (o.platform.engine == Engine::Emulated) {
    // The image as it would be flashed: the module placed above the region.
    const ModuleFile module = LoadGivenOrDefaultModule(o.platform.module, "--engine native");
    firmware::PlaceModule(image, module.bytes, vplat::DEFAULT_MODULE_ADDRESS);
  }
  std::vector<uint8_t> tampered = image;
  tampered[vplat::OffsetOf(tampered, TAMPERED_BYTE)] ^= 0x01;
  std::string tamperedName = fmt::format("the default image with bit 0 of the byte at {} flipped", Where(image, TAMPERED_BYTE));

  const Case cases[] = {
      Check(o, "the default image", std::move(image)),
      Check(o, std::move(tamperedName), std::move(tampered)),
  };
  const auto subject = [&](const Case& c) {
    return RunSubject{c.name, c.image, o.platform, c.run, c.module ? &*c.module : nullptr, c.analysis, o.trace};
  };
  const auto inspected = [&](const Case& c) { return Inspected(c.name, c.image, c.analysis); };
  const bool asExpected = runners::VerdictOf(cases[0].run.outcome) == runners::Verdict::Pass &&
                          runners::VerdictOf(cases[1].run.outcome) == runners::Verdict::Fail &&
                          cases[1].run.outcome.postCodes == std::vector<uint8_t>{POST_CODE_VERIFY_FAILED};

  if (o.output.json) {
    nlohmann::json doc = {{"asExpected", asExpected}, {"cases", nlohmann::json::array()}};
    for (const Case& c : cases) {
      doc["cases"].push_back({{"name", c.name}, {"inspect", InspectJson(inspected(c))},
                              {"run", RunJson(subject(c))}});
    }
    PrintJson(doc);
  } else {
    fmt::print("veriflash demo: the module's end-of-PEI check on the default 8 MiB image, {} engine\n",
               EngineName(o.platform.engine));
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[i];
      fmt::print("\n=== {}. {} ===\n\n", i + 1, c.name);
      if (i == 0) {
        PrintInspect(inspected(c));
      } else {
        PrintChecks(inspected(c));
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
