// Bytes from an input file (section names, signatures, trace text) as a
// person reads them in a one-line message.
#pragma once

#include <string>

namespace common {

// Text in double quotes with \r \n \t \0 \" \\ and \xHH escapes for
// everything that is not printable ASCII.
std::string QuoteText(const std::string& text);

}  // namespace common
