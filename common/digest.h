// SHA-256 on the host, computed by OpenSSL: the independent reference the
// module's own engine is measured against, and what the tools put into
// manifests.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace common {

using Digest = std::array<uint8_t, 32>;

Digest Sha256(std::span<const uint8_t> bytes);

// 64 lower-case hexadecimal digits, as sha256sum prints them.
std::string HexDigest(const Digest& digest);

}  // namespace common
