// Changes to an image file's bytes that `image create` refuses to make, for
// images that break the rules on purpose. `image` is the mapped part: a
// BIOS-region file, ending at 4 GiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace tools_test {

using ImagePatch = void (*)(std::vector<uint8_t>&);

// `image create --force PATH OPTIONS`, then `patch` (when not null) applied
// to the written file; the result of the create.
ToolResult CreateImage(const std::string& path, const std::string& options, ImagePatch patch);

void PointFitAt(std::vector<uint8_t>& image, uint32_t address);

// Points the default FIT's boot policy manifest entry (entry 4) at `address`
// and fixes the FIT's checksum.
void SetManifestEntry(std::vector<uint8_t>& image, uint64_t address);

// Writes "__ACBP__" at `address` and points the manifest entry there.
void MoveManifestTo(std::vector<uint8_t>& image, uint32_t address);

// The image's top `size` bytes: a smaller BIOS region.
void KeepTop(std::vector<uint8_t>& image, size_t size);

}  // namespace tools_test
