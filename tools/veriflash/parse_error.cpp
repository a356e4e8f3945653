#include "tools/veriflash/parse_error.h"

#include <fmt/core.h>

#include <cstdlib>
#include <regex>

namespace veriflash {
namespace {

// A value that CLI11 could not read as the number the option takes.
std::string NotANumber(const std::string& option, const std::string& value) {
  return fmt::format("{}: '{}' is not a number", option, value);
}

// CLI11's texts, which its error types fix, and ours for each.
std::string Reworded(const CLI::ParseError& error) {
  const std::string what = error.what();
  std::smatch m;
  // CLI::Range: "--timeout: Value abc not in range 1.000000 to 3600.000000".
  static const std::regex range("(.*): Value (.*) not in range (\\S+) to (\\S+)");
  if (std::regex_match(what, m, range)) {
    char* end = nullptr;
    const std::string value = m[2];
    std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') return NotANumber(m[1], value);
    return fmt::format("{}: '{}' is not from {} to {}", std::string(m[1]), value, std::strtod(m[3].str().c_str(), nullptr),
                       std::strtod(m[4].str().c_str(), nullptr));
  }
  // CLI::AsSizeValue: "--size: xb unit not recognized. Allowed values: {b,...}".
  static const std::regex unit("(.*): (\\S*) unit not recognized.*");
  if (std::regex_match(what, m, unit))
    return fmt::format("{}: '{}' is not a unit of size; give bytes, or a number with KiB or MiB", std::string(m[1]),
                       std::string(m[2]));
  static const std::regex convert("Could not convert: (.*) = (.*)");
  if (std::regex_match(what, m, convert)) return NotANumber(m[1], m[2]);
  static const std::regex notAllowed("The value (.*) is not an allowed value for (.*)");
  if (std::regex_match(what, m, notAllowed)) return NotANumber(m[2], m[1]);
  static const std::regex repeated("(.*?): At Most 1 required but received (\\d+)");
  if (std::regex_match(what, m, repeated))
    return fmt::format("{}: given {} times; give it once", std::string(m[1]), std::string(m[2]));
  static const std::regex missing("(.*?): .*(required|missing).*");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) && std::regex_match(what, m, missing))
    return fmt::format("{}: needs a value", std::string(m[1]));
  static const std::regex extras("The following arguments? (?:was|were) not expected: (.*)");
  if (std::regex_match(what, m, extras)) return fmt::format("{}: not an option or argument here", std::string(m[1]));
  static const std::regex excludes("(.*) excludes (.*)");
  if (dynamic_cast<const CLI::ExcludesError*>(&error) && std::regex_match(what, m, excludes))
    return fmt::format("{} and {} cannot be given together", std::string(m[1]), std::string(m[2]));
  static const std::regex needs("(.*) requires (.*)");
  if (dynamic_cast<const CLI::RequiresError*>(&error) && std::regex_match(what, m, needs))
    return fmt::format("{} needs {}", std::string(m[1]), std::string(m[2]));
  static const std::regex oneOf("Exactly 1 option from \\[(.*)\\].*");
  if (std::regex_match(what, m, oneOf)) return fmt::format("give exactly one of: {}", std::string(m[1]));
  return what;
}

}  // namespace

std::string ParseErrorLine(const CLI::ParseError& error, const std::string& command) {
  std::string line = Reworded(error);
  for (char& c : line)
    if (c == '\n') c = ' ';
  return command.empty() ? line : command + ": " + line;
}

}  // namespace veriflash
