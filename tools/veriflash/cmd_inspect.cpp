// veriflash inspect IMAGE: works the check through on the image without
// running the module and reports the flash map, the digests and the verdict.
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct InspectOptions {
  std::string image;
  OutputOptions output;
};

int RunInspect(const InspectOptions& o) {
  const FlashFile file = LoadFlashFile(o.image);
  const Analysis analysis = AnalyzeImage(file.window, file.layout);
  const InspectSubject subject = Inspected(o.image, file.window, analysis);
  if (o.output.json) {
    PrintJson(InspectJson(subject));
  } else {
    PrintInspect(subject);
  }
  return ExitStatusOf(VerdictOf(analysis));
}

}  // namespace

void SetupInspect(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<InspectOptions>();
  CLI::App* inspect = app.add_subcommand(
      "inspect",
      "Show an image's layout (flash descriptor and regions, what is mapped below 4 GiB), flash map (descriptor "
      "regions, variable store, code part, firmware volumes, the checked region, FIT and manifest), the module's "
      "copies inside its firmware volumes (compressed or not: volume, file, section, the address each runs at, "
      "pre-memory or shadowed, whether it is the shipped build), FIT entries, computed and reference digests, and "
      "whether the check passes or at which step it fails and why, without running the module. Addresses come with their offsets in the BIOS region and in the file. Exit status 0: "
      "passes; 1: fails; 2: unusable image.");
  inspect->add_option("IMAGE", o->image, IMAGE_ARGUMENT_HELP)->required()->option_text("FILE");
  AddOutputOptions(*inspect, o->output);
  inspect->callback([o, &chosen] { chosen = [o] { return RunInspect(*o); }; });
}

}  // namespace veriflash
