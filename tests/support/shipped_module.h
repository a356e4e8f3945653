// The veriflash.efi of this build, read once.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace test_support {

inline const std::vector<uint8_t>& ShippedModule() {
  static const std::vector<uint8_t> efi = [] {
    std::ifstream in(VERIFLASH_EFI_PATH, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " VERIFLASH_EFI_PATH);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  return efi;
}

}  // namespace test_support
