// Flash images that end at 4 GiB, laid out the way the platform's image build
// does it: the checked region, a boot policy manifest holding the region's
// reference digest, and a Firmware Interface Table pointed to from
// 0xFFFFFFC0. Used by tests, the scenarios and the command-line tool.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/digest.h"

namespace vplat {

using common::Digest;

inline constexpr uint32_t DEFAULT_IMAGE_SIZE = 8u << 20;
inline constexpr uint32_t DEFAULT_FIT_ADDRESS = 0xFFFE0000u;
inline constexpr uint32_t DEFAULT_MANIFEST_ADDRESS = 0xFFFD0000u;
inline constexpr uint32_t DEFAULT_MANIFEST_SIZE = 0x200;
inline constexpr uint32_t DEFAULT_MODULE_ADDRESS = 0xFFD40000u;  // just above the region
inline constexpr uint32_t FIT_POINTER = 0xFFFFFFC0u;
inline constexpr uint32_t REGION_BASE = 0xFFA70000u;
inline constexpr uint32_t REGION_SIZE = 0x2D0000u;
inline constexpr uint32_t MANIFEST_DIGEST_AT = 0x4C;

enum class RegionFill { Pattern, Zeros, Content };
enum class ReferenceDigest { Correct, Wrong };

// One FIT entry besides the header.
struct FitRecord {
  uint8_t typeAndFlags;
  uint64_t address;
  uint32_t size;  // 24 bits
  uint16_t version = 0x0100;
};

struct FlashImageOptions {
  uint32_t size = DEFAULT_IMAGE_SIZE;
  RegionFill fill = RegionFill::Pattern;
  uint64_t seed = 1;
  std::vector<uint8_t> regionContent;  // with RegionFill::Content; shorter is padded with 0xFF
  uint32_t fitAddress = DEFAULT_FIT_ADDRESS;
  bool fitChecksum = true;  // set the checksum-valid bit and a matching checksum byte
  uint32_t manifestAddress = DEFAULT_MANIFEST_ADDRESS;
  ReferenceDigest digest = ReferenceDigest::Correct;
  // Entries after the header; empty means the default set (microcode, startup
  // ACM, key manifest, boot policy manifest at manifestAddress).
  std::vector<FitRecord> entries;
};

// The entries an image gets when FlashImageOptions::entries is empty.
std::vector<FitRecord> DefaultFitEntries(uint32_t manifestAddress);

// Throws std::invalid_argument with a one-line reason for options that cannot
// make an image (size not a multiple of 4 KiB, region or FIT outside it, ...).
std::vector<uint8_t> BuildFlashImage(const FlashImageOptions& options);

// Physical address <-> offset in an image that ends at 4 GiB.
uint32_t ImageBase(const std::vector<uint8_t>& image);
bool Contains(const std::vector<uint8_t>& image, uint32_t address, uint32_t length);
size_t OffsetOf(const std::vector<uint8_t>& image, uint32_t address);

// SHA-256 of the checked region of an image (OpenSSL; independent of the module's engine).
Digest RegionDigest(const std::vector<uint8_t>& image);

// Writes into an image at a physical address, for tests and tools.
void Store(std::vector<uint8_t>& image, uint32_t address, const void* data, size_t length);
void Store32(std::vector<uint8_t>& image, uint32_t address, uint32_t value);
// Recomputes the checksum byte of the FIT header so the table sums to zero.
void FixFitChecksum(std::vector<uint8_t>& image, uint32_t fitAddress);

}  // namespace vplat
