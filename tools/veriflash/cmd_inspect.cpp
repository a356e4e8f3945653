// veriflash inspect IMAGE: works the check through on the image without
// running the module and reports the flash map, the digests and the verdict.
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/image_file.h"
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
  const std::vector<uint8_t> image = LoadImage(o.image);
  const Analysis analysis = AnalyzeImage(image);
  const InspectSubject subject = Inspected(o.image, image, analysis);
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
      "Show an image's flash map, FIT entries, computed and reference digests, and whether the check passes or "
      "at which step it fails and why, without running the module. Exit status 0: passes; 1: fails; 2: unusable "
      "image.");
  inspect->add_option("IMAGE", o->image, "Flash image ending at 4 GiB")->required()->option_text("FILE");
  AddOutputOptions(*inspect, o->output);
  inspect->callback([o, &chosen] { chosen = [o] { return RunInspect(*o); }; });
}

}  // namespace veriflash
