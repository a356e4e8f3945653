// CLI11's parse errors as the tool's one-line refusals: the word that is
// wrong and what would be right, in the tool's words rather than CLI11's.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace veriflash {

// The line after "veriflash: " for a parse error of the command `command`
// ("image create"; empty for veriflash itself), e.g. "run: --timeout: 'abc'
// is not a number" or "inspect: IMAGE is required".
std::string ParseErrorLine(const CLI::ParseError& error, const std::string& command);

}  // namespace veriflash
