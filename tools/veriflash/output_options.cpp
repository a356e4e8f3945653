#include "tools/veriflash/output_options.h"

#include <fmt/core.h>

#include <iostream>

namespace veriflash {

void AddOutputOptions(CLI::App& command, OutputOptions& options) {
  command.add_flag("--json", options.json, "Write one JSON document to stdout instead of the text report");
  command.add_flag("-v,--verbose", options.verbose, "Write diagnostics (files used, timings) to stderr");
}

void Note(const OutputOptions& options, const std::string& line) {
  if (options.verbose) fmt::print(stderr, "veriflash: {}\n", line);
}

// File names and texts read from images need not be UTF-8: invalid bytes
// become U+FFFD rather than an error after the verdict is known.
void PrintJson(const nlohmann::json& document) { PrintJson(document, {}); }

void PrintJson(const nlohmann::json& document, const OutputOptions& options) {
  std::cout << document.dump(options.jsonLines ? -1 : 2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace veriflash
