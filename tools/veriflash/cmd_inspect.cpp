// veriflash inspect IMAGE...: works the check through on each image without
// running the module and reports the flash map, the digests and the verdict.
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_map_html.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/image_set.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct InspectOptions {
  ImageSetOptions images;
  std::string html;
  OutputOptions output;
};

// The map, with what it shows listed beside it and the verdict.
void WriteMapPage(const InspectOptions& o, const std::string& image, const FlashFile& file, const Analysis& analysis) {
  FlashMap map = MapOf("veriflash inspect " + image, file, analysis, "");
  for (const auto* areas : {&map.regions, &map.window})
    for (const MapArea& area : *areas) map.report += area.label + "\n";
  map.report += analysis.Passes() ? "\nthe check passes\n" : "\nthe check fails: " + FailureReason(analysis.steps.back()) + "\n";
  const std::string page = FlashMapHtml(map);
  WriteFileAtomically(o.html, std::vector<uint8_t>(page.begin(), page.end()), true);
  Note(o.output, "wrote " + o.html);
}

ImageVerdict Inspect(const InspectOptions& o, const std::string& image) {
  const FlashFile file = LoadFlashFile(image);
  const Analysis analysis = AnalyzeImage(file.window, file.layout);
  const InspectSubject subject = Inspected(image, file.window, analysis);
  if (!o.html.empty()) WriteMapPage(o, image, file, analysis);
  if (o.output.json) {
    PrintJson(InspectJson(subject), o.output);
  } else {
    PrintInspect(subject);
  }
  return {ExitStatusOf(VerdictOf(analysis)), analysis.Passes() ? "" : FailureReason(analysis.steps.back())};
}

}  // namespace

void SetupInspect(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<InspectOptions>();
  CLI::App* inspect = app.add_subcommand(
      "inspect",
      "Show whether the check passes on an image, without running the module: its layout (flash descriptor and "
      "regions, what is mapped below 4 GiB), flash map (descriptor regions, variable store, code part, firmware "
      "volumes, the checked region, FIT and manifest), the module's copies inside its firmware volumes (compressed "
      "or not: volume, file, section, the address each runs at, pre-memory or shadowed, whether it is the shipped "
      "build), FIT entries, computed and reference digests, and whether the check passes or at which step it fails "
      "and why. Addresses come with their offsets in the BIOS region and in the file. Exit status 0: passes; 1: "
      "fails; 2: unusable image; of several images, the worst.");
  AddImageSetOptions(*inspect, o->images, o->output);
  inspect->add_option("--html", o->html, "Also write the flash map as one HTML page (one image only)")
      ->option_text("OUT");
  AddOutputOptions(*inspect, o->output);
  inspect->callback([o, &chosen] {
    if (!o->html.empty() && o->images.images.size() > 1)
      throw ToolError("--html writes the map of one image; give one IMAGE");
    chosen = [o] {
      return ForEachImage(o->images, o->output, "inspect", [o](const std::string& image) { return Inspect(*o, image); });
    };
  });
}

}  // namespace veriflash
