// What a refused input or a stopped run says.
#pragma once

#include <string>

namespace test_support {

// The message of the `Error` that `run` throws, or "(nothing thrown)".
template <typename Error, typename Run>
std::string ErrorMessage(Run run) {
  try {
    run();
  } catch (const Error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace test_support
