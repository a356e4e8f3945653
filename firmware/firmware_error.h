// The error of the PI firmware code (volumes, files, sections, LZMA streams,
// packaging): a one-line reason naming what is wrong and, where it applies,
// the offset it was found at.
#pragma once

#include <stdexcept>

namespace firmware {

class FirmwareError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace firmware
