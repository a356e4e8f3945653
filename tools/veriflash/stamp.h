// Stamping an image: writing the SHA-256 of the checked region, as the image
// maps it, into the boot policy manifest's reference digest, where the module
// compares it. Only those 32 bytes of the file change. A manifest that is
// signed must be signed again afterwards: its signature covered the old digest.
#pragma once

#include <cstdint>

#include "common/digest.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"

namespace veriflash {

inline constexpr const char* RESIGN_NOTE =
    "a signed manifest must be signed again after stamping: its signature covered the old reference digest";

struct Stamp {
  uint32_t at = 0;          // physical address of the reference digest
  common::Digest before{};  // what it held
  common::Digest after{};   // the region's digest, now held
  Analysis stamped;         // the check on the stamped image: it passes
};

// Stamps the file's bytes and window. A ToolError naming the file when the
// image cannot be stamped: the mapped flash does not hold the whole checked
// region, there is no usable FIT or manifest, the digest would run past
// 4 GiB, lie inside the checked region (no digest could ever match) or
// inside the placed module, or the check would still fail on the stamped
// image (the digest overwrote the FIT or its pointer), or the digest's bytes
// belong to another descriptor region as well, unless `allowOverlap`.
Stamp StampReferenceDigest(FlashFile& file, bool allowOverlap);

}  // namespace veriflash
