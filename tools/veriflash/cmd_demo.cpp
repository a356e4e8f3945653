// veriflash demo: the default image, checked as it is (the boot continues),
// with one byte of the checked region flipped (POST code 0x8F, trace line,
// halt), and as the BIOS region of a full flash dump whose wrong reference
// digest was stamped (the boot continues). Needs no files.
#include <fmt/core.h>

#include "firmware/flash_dump.h"
#include "module/check/end_of_pei.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/platform_options.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/stamp.h"
#include "tools/veriflash/tool_error.h"
#include "tools/veriflash/unused_options.h"

namespace veriflash {
namespace {

// A byte well inside the checked region.
constexpr uint32_t TAMPERED_BYTE = VERIFIED_REGION_BASE + 0x12345;
// The full dump: a 16 MiB flash, as many boards carry.
constexpr uint64_t DUMP_SIZE = 16u << 20;

struct DemoOptions {
  PlatformOptions platform;
  bool trace = false;
  OutputOptions output;
};

struct Case {
  FlashFile file;
  Analysis analysis;
  std::optional<ModuleChoice> module;  // emulated runs
  EngineRun run;
};

Case Check(const DemoOptions& o, FlashFile file) {
  Analysis analysis = AnalyzeImage(file.window, file.layout);
  std::optional<ModuleChoice> module;
  if (o.platform.engine == Engine::Emulated) module = ChooseModules(o.platform, file.name, file.window, analysis).front();
  EngineRun run =
      RunModule(o.platform.engine, MakeScenario(o.platform, file.name, file.window), module ? &*module : nullptr);
  return {std::move(file), std::move(analysis), std::move(module), std::move(run)};
}

struct StampedDump {
  FlashFile file;
  Stamp stamp;
};

// `bios` with a wrong reference digest, as the BIOS region of a full dump,
// stamped as a release engineer does before flashing.
StampedDump MakeStampedDump(std::vector<uint8_t> bios) {
  StampedDump dump{MapFlashFile(fmt::format("a full {} flash dump holding the default image with a wrong digest, "
                                            "stamped",
                                            SizeText(DUMP_SIZE)),
                                firmware::BuildFlashDump(bios, DUMP_SIZE)),
                   {}};
  dump.stamp = StampReferenceDigest(dump.file, false);
  return dump;
}

int RunDemo(const DemoOptions& o) {
  vplat::FlashImageOptions wrong;
  wrong.digest = vplat::ReferenceDigest::Wrong;
  std::vector<uint8_t> image = vplat::BuildFlashImage({});
  std::vector<uint8_t> unstamped = vplat::BuildFlashImage(wrong);
  if (o.platform.engine == Engine::Emulated) {
    // The images as they would be flashed: the module placed above the region.
    const ModuleFile module = LoadGivenOrDefaultModule(o.platform.module, "--engine native");
    firmware::PlaceModule(image, module.bytes, vplat::DEFAULT_MODULE_ADDRESS);
    firmware::PlaceModule(unstamped, module.bytes, vplat::DEFAULT_MODULE_ADDRESS);
  }
  std::vector<uint8_t> tampered = image;
  tampered[vplat::OffsetOf(tampered, TAMPERED_BYTE)] ^= 0x01;
  std::string tamperedName = fmt::format("the default image with bit 0 of the byte at {} flipped",
                                         Where(firmware::BiosRegionLayout(image.size()), TAMPERED_BYTE));
  StampedDump dump = MakeStampedDump(std::move(unstamped));
  const Stamp stamp = dump.stamp;

  const Case cases[] = {
      Check(o, MapFlashFile("the default image", std::move(image))),
      Check(o, MapFlashFile(std::move(tamperedName), std::move(tampered))),
      Check(o, std::move(dump.file)),
  };
  const auto subject = [&](const Case& c) {
    return RunSubject{c.file.name, o.platform, c.run, c.module ? &*c.module : nullptr, c.analysis, o.trace};
  };
  const auto inspected = [&](const Case& c) { return Inspected(c.file.name, c.file.window, c.analysis); };
  const auto verdict = [&](const Case& c) { return runners::VerdictOf(c.run.outcome); };
  const bool asExpected = verdict(cases[0]) == runners::Verdict::Pass && verdict(cases[1]) == runners::Verdict::Fail &&
                          cases[1].run.outcome.postCodes == std::vector<uint8_t>{POST_CODE_VERIFY_FAILED} &&
                          verdict(cases[2]) == runners::Verdict::Pass;

  if (o.output.json) {
    nlohmann::json doc = {{"asExpected", asExpected}, {"cases", nlohmann::json::array()}};
    for (const Case& c : cases)
      doc["cases"].push_back(
          {{"name", c.file.name}, {"inspect", InspectJson(inspected(c))}, {"run", RunJson(subject(c))}});
    doc["cases"][2]["stamp"] = {{"at", WhereJson(cases[2].file.layout, stamp.at)}, {"digest", common::HexDigest(stamp.after)}};
    PrintJson(doc);
  } else {
    fmt::print("veriflash demo: the module's end-of-PEI check on the default 8 MiB image, {} engine\n",
               EngineName(o.platform.engine));
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[i];
      fmt::print("\n=== {}. {} ===\n\n", i + 1, c.file.name);
      if (i == 2)
        fmt::print("stamped: the region's digest written at {}; {}\n\n", Where(c.file.layout, stamp.at), RESIGN_NOTE);
      if (i == 1) {
        PrintChecks(inspected(c));
      } else {
        PrintInspect(inspected(c));
      }
      fmt::print("\n");
      PrintRun(subject(c), o.output.verbose);
    }
    fmt::print("\n{}\n", asExpected ? "demo: as expected, the default image boots, the tampered one stops at POST code "
                                      "0x8F, and the stamped full dump boots"
                                    : "demo: NOT as expected; see the reports above");
  }
  return asExpected ? EXIT_PASS : EXIT_FAIL;
}

}  // namespace

void SetupDemo(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Show the check at work on three images it builds. It builds the default image in memory, runs the module on it (the check passes), flips one bit of the checked "
      "region and runs it again (POST code 0x8F, trace line, halt), then puts the image with a wrong reference "
      "digest into a full 16 MiB flash dump, stamps it and runs it (the check passes), and reports all three. Needs no files. "
      "Exit status 0 when all three turn out as expected.");
  AddPlatformOptions(*demo, o->platform, false);
  demo->add_flag("--trace", o->trace, "Also list every port, MMIO and service access in order");
  AddOutputOptions(*demo, o->output);
  demo->callback([o, demo, &chosen] {
    RefuseUnusedByEngine(*demo, o->platform.engine);
    chosen = [o] { return RunDemo(*o); };
  });
}

}  // namespace veriflash
