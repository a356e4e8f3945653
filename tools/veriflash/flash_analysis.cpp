#include "tools/veriflash/flash_analysis.h"

#include <fmt/core.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "module/check/end_of_pei.h"
#include "module/fit/fit.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

constexpr uint32_t REGION_LAST = VERIFIED_REGION_BASE + VERIFIED_REGION_SIZE - 1;

// The image as the module sees it from the flash: little-endian fields at
// physical addresses that the caller has checked lie inside it.
class Flash {
 public:
  Flash(const std::vector<uint8_t>& image, const firmware::FlashLayout& layout) : image_(image), layout_(layout) {}
  bool Holds(uint32_t address, uint64_t length) const { return layout_.Maps(address, length); }
  const uint8_t* At(uint32_t address) const { return image_.data() + (address - layout_.WindowBase()); }
  uint32_t Le(uint32_t address, int bytes) const {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | At(address)[i];
    return value;
  }
  uint64_t Le64(uint32_t address) const { return uint64_t{Le(address + 4, 4)} << 32 | Le(address, 4); }
  std::string Where(uint32_t address) const { return veriflash::Where(layout_, address); }

 private:
  const std::vector<uint8_t>& image_;
  const firmware::FlashLayout& layout_;
};

FitRecordView RecordAt(const Flash& flash, uint32_t header, uint32_t index) {
  const uint32_t at = header + index * FIT_ENTRY_SIZE;
  return {index,
          at,
          flash.Le64(at),
          flash.Le(at + offsetof(FitEntry, Size), 3),
          static_cast<uint16_t>(flash.Le(at + offsetof(FitEntry, Version), 2)),
          flash.At(at)[offsetof(FitEntry, TypeAndFlags)],
          flash.At(at)[offsetof(FitEntry, Checksum)]};
}

// Each step adds its result and says whether the check goes on.
class Walk {
 public:
  Walk(const std::vector<uint8_t>& window, Analysis& out) : flash_(window, out.layout), out_(out) {}

  // The module hashes the region before it looks for the manifest; where the
  // flash does not reach, it would hash whatever the bus returns.
  bool Region() {
    const firmware::FlashLayout& layout = out_.layout;
    const std::string region = fmt::format("{}-{}", Hex(VERIFIED_REGION_BASE, 8), Hex(REGION_LAST, 8));
    if (!HoldsRegion(layout))
      return Fail(CheckStep::Region, EFI_SECURITY_VIOLATION,
                  fmt::format("the mapped flash starts at {}, above the checked region at {}: the module would hash "
                              "whatever the bus returns below it",
                              Hex(layout.WindowBase(), 8), Hex(VERIFIED_REGION_BASE, 8)),
                  fmt::format("the flash is mapped at {}-0xFFFFFFFF; the checked region is {}", Hex(layout.WindowBase(), 8),
                              region));
    // The module hashes the region before it looks for the manifest, so the
    // computed digest is known whatever the FIT holds.
    if (!out_.computed) out_.computed = common::Sha256({flash_.At(VERIFIED_REGION_BASE), VERIFIED_REGION_SIZE});
    return Pass(CheckStep::Region, region + " lies in the mapped flash");
  }

  bool FitHeader() {
    const uint32_t fit = out_.fitPointer;
    const std::string pointer = fmt::format("the FIT pointer at {} holds {}", flash_.Where(FIT_POINTER_ADDRESS), Hex(fit, 8));
    if (fit == 0xFFFFFFFFu) return Fail(CheckStep::FitHeader, EFI_NOT_FOUND, "no FIT: the FIT pointer is erased", pointer);
    if (!flash_.Holds(fit, FIT_ENTRY_SIZE))
      return Fail(CheckStep::FitHeader, EFI_NOT_FOUND, "the FIT pointer leads outside the image",
                  fmt::format("{}; the image covers {}-0xFFFFFFFF", pointer, Hex(out_.layout.WindowBase(), 8)));
    if (std::memcmp(flash_.At(fit), FIT_HEADER_SIGNATURE, sizeof FIT_HEADER_SIGNATURE) != 0)
      return Fail(CheckStep::FitHeader, EFI_NOT_FOUND, "no FIT signature \"_FIT_   \" where the FIT pointer leads",
                  fmt::format("found {} at {}", Quoted(flash_.At(fit), 8), flash_.Where(fit)));
    const uint32_t count = flash_.Le(fit + offsetof(FitEntry, Size), 3);
    if (!flash_.Holds(fit, uint64_t{count} * FIT_ENTRY_SIZE))
      return Fail(CheckStep::FitHeader, EFI_NOT_FOUND, "the FIT runs past 4 GiB",
                  fmt::format("{} entries of 16 bytes from {}", count, flash_.Where(fit)));

    FitView view{fit, count, (flash_.At(fit)[offsetof(FitEntry, TypeAndFlags)] & FIT_CHECKSUM_VALID) != 0, 0, {}};
    for (uint32_t i = 0; i < count * FIT_ENTRY_SIZE; ++i) view.sum = static_cast<uint8_t>(view.sum + flash_.At(fit)[i]);
    for (uint32_t i = 0; i < std::min(count, MAX_LISTED_RECORDS); ++i) view.records.push_back(RecordAt(flash_, fit, i));
    out_.fit = view;
    return Pass(CheckStep::FitHeader, fmt::format("\"_FIT_   \" at {}, {} entries", flash_.Where(fit), count));
  }

  bool FitChecksum() {
    const FitView& fit = *out_.fit;
    if (!fit.checksumValid) return Pass(CheckStep::FitChecksum, "not verified: the header's checksum-valid bit is clear");
    const std::string detail = fmt::format("byte sum 0x{:02X} over {} entries ({} bytes)", fit.sum, fit.count,
                                           Hex(uint64_t{fit.count} * FIT_ENTRY_SIZE));
    if (fit.sum != 0) return Fail(CheckStep::FitChecksum, EFI_CRC_ERROR, "FIT checksum does not sum to zero", detail);
    return Pass(CheckStep::FitChecksum, "the table sums to zero: " + detail);
  }

  bool ManifestEntry() {
    const FitView& fit = *out_.fit;
    for (uint32_t i = 0; i < fit.count; ++i) {
      const FitRecordView record = RecordAt(flash_, fit.address, i);
      if ((record.typeAndFlags & FIT_TYPE_MASK) != FIT_TYPE_BOOT_POLICY_MANIFEST) continue;
      out_.manifestEntry = i;
      out_.manifest = static_cast<uint32_t>(record.address);  // only the low 32 bits count
      return Pass(CheckStep::ManifestEntry, fmt::format("entry {} points to {}", i, flash_.Where(*out_.manifest)));
    }
    return Fail(CheckStep::ManifestEntry, EFI_NOT_FOUND, "no Boot Policy Manifest entry (type 0x0C) in the FIT",
                fmt::format("{} entries searched", fit.count));
  }

  bool ManifestSignature() {
    const uint32_t manifest = *out_.manifest;
    if (!flash_.Holds(manifest, MANIFEST_READ_SIZE))
      return Fail(CheckStep::ManifestSignature, EFI_NOT_FOUND, "the manifest lies outside the image",
                  fmt::format("{} bytes at {} would be read", Hex(MANIFEST_READ_SIZE), flash_.Where(manifest)));
    if (std::memcmp(flash_.At(manifest), MANIFEST_SIGNATURE, sizeof MANIFEST_SIGNATURE) != 0)
      return Fail(CheckStep::ManifestSignature, EFI_NOT_FOUND, "the manifest does not start with \"__ACBP__\"",
                  fmt::format("found {} at {}", Quoted(flash_.At(manifest), 8), flash_.Where(manifest)));
    common::Digest reference;
    std::memcpy(reference.data(), flash_.At(manifest + MANIFEST_DIGEST_OFFSET), reference.size());
    out_.reference = reference;
    return Pass(CheckStep::ManifestSignature, fmt::format("\"__ACBP__\" at {}", flash_.Where(manifest)));
  }

  bool Digest() {
    const auto& computed = *out_.computed;
    const auto& reference = *out_.reference;
    const uint32_t at = *out_.manifest + MANIFEST_DIGEST_OFFSET;
    if (DigestFieldInRegion(*out_.manifest))
      return Fail(CheckStep::Digest, EFI_SECURITY_VIOLATION,
                  "the manifest's reference digest lies inside the checked region: writing it changes the hashed bytes, "
                  "so no digest can ever match",
                  fmt::format("the reference digest at {}; the checked region {}-{}", flash_.Where(at),
                              Hex(VERIFIED_REGION_BASE, 8), Hex(REGION_LAST, 8)));
    const auto diff = std::mismatch(computed.begin(), computed.end(), reference.begin());
    if (diff.first != computed.end())
      return Fail(CheckStep::Digest, EFI_SECURITY_VIOLATION, "the region's digest differs from the manifest's reference digest",
                  fmt::format("first difference in byte {} of 32 of the reference at {}", diff.first - computed.begin(),
                              flash_.Where(at)));
    return Pass(CheckStep::Digest, fmt::format("the region's digest matches the reference at {}", flash_.Where(at)));
  }

 private:
  bool Pass(CheckStep step, std::string summary) {
    out_.steps.push_back({step, EFI_SUCCESS, std::move(summary), ""});
    return true;
  }
  bool Fail(CheckStep step, EFI_STATUS status, std::string summary, std::string detail) {
    out_.steps.push_back({step, status, std::move(summary), std::move(detail)});
    return false;
  }

  Flash flash_;
  Analysis& out_;
};

}  // namespace

const char* StepName(CheckStep step) {
  switch (step) {
    case CheckStep::Region: return "checked region";
    case CheckStep::FitHeader: return "FIT header";
    case CheckStep::FitChecksum: return "FIT checksum";
    case CheckStep::ManifestEntry: return "manifest entry";
    case CheckStep::ManifestSignature: return "manifest signature";
    case CheckStep::Digest: return "digest";
  }
  return "?";
}

bool HoldsRegion(const firmware::FlashLayout& layout) {
  return layout.Maps(VERIFIED_REGION_BASE, VERIFIED_REGION_SIZE);
}

bool DigestFieldInRegion(uint32_t manifest) {
  const uint64_t at = uint64_t{manifest} + MANIFEST_DIGEST_OFFSET;
  return at < uint64_t{VERIFIED_REGION_BASE} + VERIFIED_REGION_SIZE && at + MANIFEST_DIGEST_SIZE > VERIFIED_REGION_BASE;
}

Analysis AnalyzeImage(const std::vector<uint8_t>& window, firmware::FlashLayout layout,
                      const std::optional<common::Digest>& regionDigest) {
  if (window.size() != layout.windowSize) throw std::logic_error("the analysed window is not the layout's");
  Analysis analysis;
  analysis.layout = std::move(layout);
  analysis.computed = regionDigest;
  analysis.fitPointer = Flash(window, analysis.layout).Le(FIT_POINTER_ADDRESS, 4);
  Walk walk(window, analysis);
  for (auto step : {&Walk::Region, &Walk::FitHeader, &Walk::FitChecksum, &Walk::ManifestEntry, &Walk::ManifestSignature, &Walk::Digest})
    if (!(walk.*step)()) break;
  return analysis;
}

}  // namespace veriflash
