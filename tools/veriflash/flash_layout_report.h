// What the tool says of a flash file's layout: whether it starts with a
// flash descriptor, the regions the descriptor lists, and which bytes are
// mapped below 4 GiB.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "firmware/flash_layout.h"

namespace veriflash {

// "full flash dump: BIOS region 0x800000-0xFFFFFF (8 MiB) mapped at 0xFF800000-0xFFFFFFFF", or
// "no flash descriptor: the file is a BIOS region of 32 MiB; only its top 16 MiB (file offset
// 0x1000000) are mapped, at 0xFF000000-0xFFFFFFFF".
std::string DescribeFlashLayout(const firmware::FlashLayout& layout);

// The description, then the descriptor's regions, indented.
void PrintFlashLayout(const firmware::FlashLayout& layout);

nlohmann::json FlashLayoutJson(const firmware::FlashLayout& layout);

}  // namespace veriflash
