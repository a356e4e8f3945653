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

void PrintJson(const nlohmann::json& document) { std::cout << document.dump(2) << '\n'; }

}  // namespace veriflash
