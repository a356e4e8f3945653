// The module as a PEIM firmware file, ready for a PEI volume: a PEI
// dependency expression that is always satisfied (TRUE, END), the PE32 image
// with its data aligned to the image's section alignment (a RAW section in
// front pads it), and a user-interface section with the module's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "firmware/ffs_file.h"
#include "firmware/pi_format.h"

namespace firmware {

// aa639189-75ff-4fb1-bafc-250c14a28657: the file name of the module's PEIM,
// chosen once at random for this module and never reused.
inline constexpr PiGuid VERIFLASH_PEIM_GUID = {
    {0x89, 0x91, 0x63, 0xAA, 0xFF, 0x75, 0xB1, 0x4F, 0xBA, 0xFC, 0x25, 0x0C, 0x14, 0xA2, 0x86, 0x57}};
inline constexpr const char* VERIFLASH_PEIM_NAME = "veriflash";

struct PeimFileOptions {
  PiGuid name = VERIFLASH_PEIM_GUID;
  std::string uiName = VERIFLASH_PEIM_NAME;
};

// Offset of the PE32 image's first byte from the start of the file's data,
// for an image of `sectionAlignment`.
uint32_t PeimImageOffset(uint32_t sectionAlignment);

// The PEIM file around `pe32` (the image as it should lie in the file). Its
// data alignment attribute is the smallest that keeps the image aligned, and
// it carries a data checksum. Throws PeError when `pe32` is no usable PE32
// image.
FfsFile MakePeimFile(std::span<const uint8_t> pe32, const PeimFileOptions& options);

}  // namespace firmware
