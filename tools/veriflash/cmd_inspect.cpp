// veriflash inspect IMAGE: works the check through on the image without
// running the module and reports the flash map, the digests and the verdict.
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_map_html.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct InspectOptions {
  std::string image;
  std::string html;
  OutputOptions output;
};

// The map, with what it shows listed beside it and the verdict.
void WriteMapPage(const InspectOptions& o, const FlashFile& file, const Analysis& analysis) {
  FlashMap map = MapOf("veriflash inspect " + o.image, file, analysis, "");
  for (const auto* areas : {&map.regions, &map.window})
    for (const MapArea& area : *areas) map.report += area.label + "\n";
  map.report += analysis.Passes() ? "\nthe check passes\n" : "\nthe check fails: " + FailureReason(analysis.steps.back()) + "\n";
  const std::string page = FlashMapHtml(map);
  WriteFileAtomically(o.html, std::vector<uint8_t>(page.begin(), page.end()), true);
  Note(o.output, "wrote " + o.html);
}

int RunInspect(const InspectOptions& o) {
  const FlashFile file = LoadFlashFile(o.image);
  const Analysis analysis = AnalyzeImage(file.window, file.layout);
  const InspectSubject subject = Inspected(o.image, file.window, analysis);
  if (!o.html.empty()) WriteMapPage(o, file, analysis);
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
      "Show an image's layout (flash descriptor and regions, what is mapped below 4 GiB), flash map, FIT entries, "
      "computed and reference digests, and whether the check passes or at which step it fails and why, without "
      "running the module. Addresses come with their offsets in the BIOS region and in the file. Exit status 0: "
      "passes; 1: fails; 2: unusable image.");
  inspect->add_option("IMAGE", o->image, IMAGE_ARGUMENT_HELP)->required()->option_text("FILE");
  inspect->add_option("--html", o->html, "Also write the flash map as one HTML page")->option_text("OUT");
  AddOutputOptions(*inspect, o->output);
  inspect->callback([o, &chosen] { chosen = [o] { return RunInspect(*o); }; });
}

}  // namespace veriflash
