#include "tools/veriflash/image_set.h"

#include <fmt/core.h>

#include <algorithm>
#include <chrono>

#include "tools/veriflash/error_document.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/junit_report.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {

void AddImageSetOptions(CLI::App& command, ImageSetOptions& set, OutputOptions& output) {
  command.add_option("IMAGE", set.images, std::string(IMAGE_ARGUMENT_HELP) + "; several are checked in turn")
      ->required()
      ->option_text("FILE ...");
  command.add_flag_callback(
      "--json-lines",
      [&output] {
        output.json = true;
        output.jsonLines = true;
      },
      "Write one JSON document per image to stdout, each on one line, instead of the text report");
  command.add_option("--junit", set.junit,
                     "Also write a JUnit XML report (one test case per image) to FILE, replacing it, for CI systems")
      ->option_text("FILE");
}

int ForEachImage(const ImageSetOptions& set, const OutputOptions& output, const std::string& command,
                 const std::function<ImageVerdict(const std::string& image)>& check) {
  if (output.json && !output.jsonLines && set.images.size() > 1)
    throw ToolError(fmt::format("--json writes one document, for one image; give --json-lines for {} images",
                                set.images.size()));
  if (!set.junit.empty()) CheckOutput(set.junit, true);
  std::vector<JunitCase> cases;
  for (const std::string& image : set.images) {
    if (!output.json && &image != &set.images.front()) fmt::print("\n");  // text reports apart
    const auto start = std::chrono::steady_clock::now();
    JunitCase c{image};
    try {
      const ImageVerdict verdict = check(image);
      c.status = verdict.status;
      c.reason = verdict.reason;
    } catch (const ToolError& e) {
      fmt::print(stderr, "veriflash: {}\n", e.what());
      if (output.json) PrintJson(ErrorDocument(e.what(), FileNamed(e.what(), {image})), output);
      c.status = EXIT_UNUSABLE;
      c.reason = e.what();
    }
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cases.push_back(std::move(c));
  }
  if (!set.junit.empty()) {
    const std::string xml = JunitXml("veriflash " + command, cases);
    WriteOutput(set.junit, std::vector<uint8_t>(xml.begin(), xml.end()), true);
  }
  int worst = EXIT_PASS;
  for (const JunitCase& c : cases) worst = std::max(worst, c.status);
  return worst;
}

}  // namespace veriflash
