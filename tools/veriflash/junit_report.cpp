#include "tools/veriflash/junit_report.h"

#include <fmt/core.h>

#include <algorithm>

#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

// Text for an attribute or an element: markup characters as entities, and
// control characters, which XML 1.0 cannot hold at all, as '?'.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' ? '?' : c;
    }
  }
  return out;
}

}  // namespace

std::string JunitXml(const std::string& suite, const std::vector<JunitCase>& cases) {
  const auto count = [&](int status) {
    return std::count_if(cases.begin(), cases.end(), [&](const JunitCase& c) { return c.status == status; });
  };
  double seconds = 0;
  for (const JunitCase& c : cases) seconds += c.seconds;
  std::string xml = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n  <testsuite name=\"{}\" tests=\"{}\" failures=\"{}\" "
      "errors=\"{}\" time=\"{:.3f}\">\n",
      Escaped(suite), cases.size(), count(EXIT_FAIL), count(EXIT_UNUSABLE), seconds);
  for (const JunitCase& c : cases) {
    xml += fmt::format("    <testcase classname=\"{}\" name=\"{}\" time=\"{:.3f}\"", Escaped(suite), Escaped(c.name),
                       c.seconds);
    if (c.status == EXIT_PASS) {
      xml += "/>\n";
      continue;
    }
    const char* kind = c.status == EXIT_FAIL ? "failure" : "error";
    xml += fmt::format(">\n      <{0} message=\"{1}\">{1}</{0}>\n    </testcase>\n", kind, Escaped(c.reason));
  }
  return xml + "  </testsuite>\n</testsuites>\n";
}

}  // namespace veriflash
