// GUIDs as people write them: 8-4-4-4-12 hexadecimal digits, the first three
// groups being the little-endian numbers of the stored form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "firmware/pi_format.h"

namespace firmware {

// Lower-case text, e.g. "8c8ce578-8a3d-4f1c-9935-896185c32dd3".
std::string GuidText(const PiGuid& guid);

// Either case; nullopt for anything that is not exactly that form.
std::optional<PiGuid> ParseGuid(std::string_view text);

}  // namespace firmware
