// A JUnit XML report of several images, the format CI systems show as a test
// run: one test case per image, a failure for an image on which the check
// fails, an error for one the tool could not use.
#pragma once

#include <string>
#include <vector>

namespace veriflash {

struct JunitCase {
  std::string name;    // the image as given
  int status = 0;      // the command's exit status for it: 0 pass, 1 fail, 2 unusable
  std::string reason;  // why it failed or was refused; empty for a pass
  double seconds = 0;
};

// The whole document; `suite` names the command ("veriflash inspect").
std::string JunitXml(const std::string& suite, const std::vector<JunitCase>& cases);

}  // namespace veriflash
