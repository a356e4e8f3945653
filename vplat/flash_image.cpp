#include "vplat/flash_image.h"

#include <cstring>
#include <stdexcept>

#include "common/hex.h"

namespace vplat {

using common::Hex;
namespace {

constexpr uint32_t MIN_ALIGN = 0x1000;

void Require(bool ok, const std::string& reason) {
  if (!ok) throw std::invalid_argument(reason);
}

// xorshift64*: a fixed, seedable byte stream, so a pattern image is the same
// on every machine.
void FillPattern(uint8_t* out, size_t length, uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;
  for (size_t i = 0; i < length; i += 8) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const uint64_t word = state * 0x2545F4914F6CDD1Dull;
    for (size_t k = 0; k < 8 && i + k < length; ++k) out[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
}

void WriteFit(std::vector<uint8_t>& image, const FlashImageOptions& o,
              const std::vector<FitRecord>& entries) {
  const uint32_t count = static_cast<uint32_t>(entries.size() + 1);
  Require(Contains(image, o.fitAddress, count * 16), "FIT at " + Hex(o.fitAddress, 8) + " lies outside the image");
  uint8_t header[16] = {'_', 'F', 'I', 'T', '_', ' ', ' ', ' '};
  header[8] = static_cast<uint8_t>(count);
  header[9] = static_cast<uint8_t>(count >> 8);
  header[10] = static_cast<uint8_t>(count >> 16);
  header[12] = 0x00;
  header[13] = 0x01;  // version 1.00
  header[14] = o.fitChecksum ? 0x80 : 0x00;
  Store(image, o.fitAddress, header, 16);
  for (size_t i = 0; i < entries.size(); ++i) {
    const FitRecord& e = entries[i];
    uint8_t raw[16] = {};
    for (int k = 0; k < 8; ++k) raw[k] = static_cast<uint8_t>(e.address >> (8 * k));
    raw[8] = static_cast<uint8_t>(e.size);
    raw[9] = static_cast<uint8_t>(e.size >> 8);
    raw[10] = static_cast<uint8_t>(e.size >> 16);
    raw[12] = static_cast<uint8_t>(e.version);
    raw[13] = static_cast<uint8_t>(e.version >> 8);
    raw[14] = e.typeAndFlags;
    Store(image, static_cast<uint32_t>(o.fitAddress + 16 * (i + 1)), raw, 16);
  }
  if (o.fitChecksum) FixFitChecksum(image, o.fitAddress);
  Store32(image, FIT_POINTER, o.fitAddress);
}

}  // namespace

std::vector<FitRecord> DefaultFitEntries(uint32_t manifestAddress) {
  return {
      {0x01, 0xFFE00000u, 0},                       // microcode update
      {0x02, 0xFFE40000u, 0},                       // startup ACM
      {0x0B, 0xFFFC0000u, 0x400},                   // key manifest
      {0x0C, manifestAddress, DEFAULT_MANIFEST_SIZE},  // boot policy manifest
  };
}

uint32_t ImageBase(const std::vector<uint8_t>& image) {
  return static_cast<uint32_t>(0x100000000ull - image.size());
}

bool Contains(const std::vector<uint8_t>& image, uint32_t address, uint32_t length) {
  const uint64_t base = 0x100000000ull - image.size();
  return address >= base && uint64_t{address} + length <= 0x100000000ull;
}

size_t OffsetOf(const std::vector<uint8_t>& image, uint32_t address) {
  return static_cast<size_t>(address - ImageBase(image));
}

void Store(std::vector<uint8_t>& image, uint32_t address, const void* data, size_t length) {
  if (!Contains(image, address, static_cast<uint32_t>(length)))
    throw std::out_of_range("store at " + Hex(address, 8) + " outside the image");
  std::memcpy(image.data() + OffsetOf(image, address), data, length);
}

void Store32(std::vector<uint8_t>& image, uint32_t address, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  Store(image, address, bytes, 4);
}

void FixFitChecksum(std::vector<uint8_t>& image, uint32_t fitAddress) {
  const size_t at = OffsetOf(image, fitAddress);
  const uint32_t count = image[at + 8] | image[at + 9] << 8 | image[at + 10] << 16;
  image[at + 15] = 0;
  uint8_t sum = 0;
  for (size_t i = 0; i < size_t{count} * 16 && at + i < image.size(); ++i) sum = static_cast<uint8_t>(sum + image[at + i]);
  image[at + 15] = static_cast<uint8_t>(-sum);
}

Digest RegionDigest(const std::vector<uint8_t>& image) {
  if (!Contains(image, REGION_BASE, REGION_SIZE))
    throw std::invalid_argument("image does not reach down to the checked region at 0xFFA70000");
  return common::Sha256({image.data() + OffsetOf(image, REGION_BASE), REGION_SIZE});
}

std::vector<uint8_t> BuildFlashImage(const FlashImageOptions& o) {
  Require(o.size % MIN_ALIGN == 0, "image size " + std::to_string(o.size) + " is not a multiple of 4 KiB");
  Require(o.size >= 0x100000000ull - REGION_BASE, "image of " + std::to_string(o.size) +
                                                      " bytes does not reach down to the checked region at 0xFFA70000");
  std::vector<uint8_t> image(o.size, 0xFF);
  uint8_t* region = image.data() + OffsetOf(image, REGION_BASE);
  switch (o.fill) {
    case RegionFill::Pattern: FillPattern(region, REGION_SIZE, o.seed); break;
    case RegionFill::Zeros: std::memset(region, 0, REGION_SIZE); break;
    case RegionFill::Content:
      Require(o.regionContent.size() <= REGION_SIZE, "region content is larger than the checked region");
      std::memcpy(region, o.regionContent.data(), o.regionContent.size());
      break;
  }

  Require(Contains(image, o.manifestAddress, DEFAULT_MANIFEST_SIZE),
          "manifest at " + Hex(o.manifestAddress, 8) + " lies outside the image");
  std::vector<uint8_t> manifest(DEFAULT_MANIFEST_SIZE, 0);
  std::memcpy(manifest.data(), "__ACBP__", 8);
  manifest[8] = 0x10;  // structure version
  Store(image, o.manifestAddress, manifest.data(), manifest.size());
  WriteFit(image, o, o.entries.empty() ? DefaultFitEntries(o.manifestAddress) : o.entries);

  // The digest goes in last, over the region as it finally stands.
  Digest digest = RegionDigest(image);
  if (o.digest == ReferenceDigest::Wrong) digest[31] ^= 0x01;
  Store(image, o.manifestAddress + MANIFEST_DIGEST_AT, digest.data(), digest.size());
  return image;
}

}  // namespace vplat
