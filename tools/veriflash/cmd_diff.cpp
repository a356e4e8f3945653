// veriflash diff A B: where two flash images differ, what each difference
// lies in, and what it means for the check. Exits as cmp does: 0 identical,
// 1 different, 2 when the images cannot be compared.
#include <fmt/core.h>

#include <chrono>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/diff_report.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_map_html.h"
#include "tools/veriflash/image_diff.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct DiffOptions {
  std::string a, b;
  std::string html;
  OutputOptions output;
};

int RunDiff(const DiffOptions& o) {
  const auto start = std::chrono::steady_clock::now();
  const FlashFile a = LoadFlashFile(o.a);
  const FlashFile b = LoadFlashFile(o.b);
  const Analysis analysisA = AnalyzeImage(a.window, a.layout);
  const Analysis analysisB = AnalyzeImage(b.window, b.layout);
  const ImageDiff diff = DiffImages(a, analysisA, b, analysisB);
  Note(o.output, fmt::format("read, analysed and compared in {} ms",
                             std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
  const DiffSubject subject{o.a, o.b, a.layout, diff};
  const std::string text = DiffText(subject);
  if (!o.html.empty()) {
    FlashMap map = MapOf("veriflash diff " + o.a + " " + o.b, a, analysisA, text);
    AddChanges(map, a, diff);
    const std::string page = FlashMapHtml(map);
    WriteFileAtomically(o.html, std::vector<uint8_t>(page.begin(), page.end()), true);
    Note(o.output, "wrote " + o.html);
  }
  if (o.output.json)
    PrintJson(DiffJson(subject));
  else
    fmt::print("{}", text);
  return diff.Identical() ? EXIT_PASS : EXIT_FAIL;
}

}  // namespace

void SetupDiff(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<DiffOptions>();
  CLI::App* diff = app.add_subcommand(
      "diff",
      "Compare two flash images of the same size (or two full dumps, their BIOS regions by address): the differing "
      "ranges, the descriptor region, volume, file and section each lies in (inside compressed volumes too), whether "
      "it touches the checked region, the FIT, the manifest's reference digest or the module, and what that means for "
      "the check. Exit status 0: identical; 1: different; 2: the images cannot be compared.");
  diff->add_option("A", o->a, IMAGE_ARGUMENT_HELP)->required()->option_text("FILE");
  diff->add_option("B", o->b, "The image to compare it with")->required()->option_text("FILE");
  diff->add_option("--html", o->html, "Also write the flash map with the changes marked, as one HTML page")
      ->option_text("OUT");
  AddOutputOptions(*diff, o->output);
  diff->callback([o, &chosen] { chosen = [o] { return RunDiff(*o); }; });
}

}  // namespace veriflash
