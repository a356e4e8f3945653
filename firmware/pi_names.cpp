#include "firmware/pi_names.h"

#include <utility>

#include "common/hex.h"

namespace firmware {
namespace {

template <size_t N>
std::string Lookup(const std::pair<uint8_t, const char*> (&names)[N], uint8_t type) {
  for (const auto& [value, name] : names)
    if (value == type) return name;
  return "type " + common::Hex(type, 2);
}

// The file and section types the PI firmware file system defines.
constexpr std::pair<uint8_t, const char*> FILE_TYPES[] = {
    {0x01, "raw"},           {0x02, "freeform"},  {0x03, "SEC core"},  {0x04, "PEI core"},
    {0x05, "DXE core"},      {0x06, "PEIM"},      {0x07, "driver"},    {0x08, "PEIM and driver"},
    {0x09, "application"},   {0x0A, "MM"},        {0x0B, "firmware volume image"},
    {0x0C, "MM and driver"}, {0x0D, "MM core"},   {0x0E, "standalone MM"}, {0x0F, "standalone MM core"},
    {0xF0, "pad"},
};
constexpr std::pair<uint8_t, const char*> SECTION_TYPES[] = {
    {0x01, "compression"},      {0x02, "GUID-defined"},     {0x03, "disposable"},
    {0x10, "PE32"},             {0x11, "PIC"},              {0x12, "TE"},
    {0x13, "DXE dependencies"}, {0x14, "version"},          {0x15, "user interface"},
    {0x16, "16-bit"},           {0x17, "firmware volume image"}, {0x18, "freeform subtype"},
    {0x19, "raw"},              {0x1B, "PEI dependencies"}, {0x1C, "MM dependencies"},
};

}  // namespace

std::string FileTypeName(uint8_t type) { return Lookup(FILE_TYPES, type); }
std::string SectionTypeName(uint8_t type) { return Lookup(SECTION_TYPES, type); }

}  // namespace firmware
