// Every scenario the host tests run, as recipes: the host build and the
// emulated binary must produce the same outcome for each. Add a line here
// and both backends run it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "runners/scenario.h"

namespace test_support {

struct FidelityCase {
  std::string name;
  std::function<runners::Scenario()> make;  // built on demand: each image is megabytes
  // What only the binary's log shows: the host build reads flash and memory
  // in place through views, which are not accesses, so a view of the open
  // bus leaves no entry; the emulated CPU's loads from it do.
  std::vector<vplat::Access> emulatedOnly = {};
};

const std::vector<FidelityCase>& FidelityScenarios();

}  // namespace test_support
