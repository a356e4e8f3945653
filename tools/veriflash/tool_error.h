// The exit statuses of the tool and the one error type that ends a command
// early. main is the only place that turns either into a process status.
#pragma once

#include <stdexcept>

#include "runners/verdict.h"

namespace veriflash {

// 0: the check passes; 1: the check fails (the module would halt with 0x8F);
// 2: bad usage, or an input that cannot be used.
enum ExitStatus : int { EXIT_PASS = 0, EXIT_FAIL = 1, EXIT_UNUSABLE = 2 };

// A check that never runs fails too: the board would not boot as it should.
constexpr ExitStatus ExitStatusOf(runners::Verdict verdict) {
  return verdict == runners::Verdict::Pass ? EXIT_PASS : EXIT_FAIL;
}

// A one-line reason why a command cannot go on, naming the file and, where it
// applies, the offset and physical address. Ends the process with EXIT_UNUSABLE.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace veriflash
