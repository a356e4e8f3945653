// Names of PI firmware file and section types, as people read them in a
// listing: "PEIM", "firmware volume image", "PE32", "user interface".
#pragma once

#include <cstdint>
#include <string>

namespace firmware {

// "PEIM"; "type 0xC0" for a type without a name.
std::string FileTypeName(uint8_t type);
// "PE32"; "type 0x20" for a type without a name.
std::string SectionTypeName(uint8_t type);

}  // namespace firmware
