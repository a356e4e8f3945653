// The option group every reporting command shares: --json for one document on
// stdout, -v for diagnostics on stderr.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <string>

namespace veriflash {

struct OutputOptions {
  bool json = false;
  bool verbose = false;
  bool jsonLines = false;  // set by --json-lines of inspect and run; read by PrintJson
};

void AddOutputOptions(CLI::App& command, OutputOptions& options);

// Writes one line to stderr when -v was given.
void Note(const OutputOptions& options, const std::string& line);

// Writes the command's one JSON document to stdout.
void PrintJson(const nlohmann::json& document);
// The same on one line with --json-lines, one document per image.
void PrintJson(const nlohmann::json& document, const OutputOptions& options);

}  // namespace veriflash
