// One virtual platform for all the inputs of a fuzz target. It maps a base
// scenario once; each input then stores its bytes into the flash over the
// base image and restarts the platform, and the next input first puts the
// base bytes back. An input so costs what it changes, not a new platform with
// 16 MiB of RAM and a copy of the image.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "runners/scenario.h"
#include "vplat/platform.h"

namespace fuzz {

class FlashRig {
 public:
  explicit FlashRig(runners::Scenario base);

  // Puts back the flash bytes the last input changed, restarts the platform
  // and prepares it for the base scenario again.
  void Begin();
  // Stores `bytes` into the flash from `address` on; what would fall outside
  // the flash is left out.
  void Store(uint32_t address, std::span<const uint8_t> bytes);

  vplat::Platform& Platform() { return platform_; }
  const runners::Scenario& Scenario() const { return base_; }
  // The image as the module sees it now.
  const std::vector<uint8_t>& Flash() const { return platform_.memory.Flash(); }

 private:
  runners::Scenario base_;
  vplat::Platform platform_;
  std::vector<std::pair<size_t, size_t>> changed_;  // offset, length
};

}  // namespace fuzz
