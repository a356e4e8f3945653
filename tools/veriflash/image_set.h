// inspect and run take several images in one call, for a release folder or a
// CI job: each image is reported in turn (with --json-lines, one document per
// line), an image the tool cannot use is refused without stopping the others,
// and the exit status is the worst of them. --junit writes a JUnit XML
// report of the lot.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "tools/veriflash/output_options.h"

namespace veriflash {

struct ImageSetOptions {
  std::vector<std::string> images;
  std::string junit;  // --junit FILE; empty: none
};

// IMAGE... (at least one), --json-lines and --junit; `output` is the
// command's --json and -v, which --json-lines implies and --json limits to one image.
void AddImageSetOptions(CLI::App& command, ImageSetOptions& set, OutputOptions& output);

// What one image came to.
struct ImageVerdict {
  int status = 0;      // EXIT_PASS or EXIT_FAIL
  std::string reason;  // why the check fails; empty for a pass
};

// Calls `check` on every image in the given order; a ToolError from it is
// that image's refusal: its line on stderr and, with JSON, its error
// document on stdout. Writes the JUnit report at the end (its path is
// checked first); returns the worst exit status.
int ForEachImage(const ImageSetOptions& set, const OutputOptions& output, const std::string& command,
                 const std::function<ImageVerdict(const std::string& image)>& check);

}  // namespace veriflash
