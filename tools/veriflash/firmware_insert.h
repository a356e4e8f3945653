// What `package`, `firmware add` and `image create --firmware` share: the
// --guid option, reading a firmware image, adding the module to its PEI
// volume with errors that name the file, and the report of what was done.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "firmware/pei_insert.h"
#include "firmware/peim_file.h"

namespace veriflash {

// --guid GUID: the module file's name (default aa639189-75ff-4fb1-bafc-250c14a28657).
void AddGuidOption(CLI::App& command, firmware::PiGuid& guid);

// A firmware image of at most 64 MiB, not empty.
std::vector<uint8_t> LoadFirmware(const std::string& path, const std::string& what);

// A firmware code part that firmware::CheckCodePart accepts; a ToolError
// names the file and the volume, field and value at fault.
std::vector<uint8_t> LoadCodePart(const std::string& path, const std::string& what);

// A variable store that firmware::CheckVariableStore accepts beside a code
// part of `codeSize` bytes; a ToolError names the file and the fault.
std::vector<uint8_t> LoadVariableStore(const std::string& path, uint64_t codeSize);

// Adds the module file at `modulePath` (nullopt: rebuild only) to the PEI
// volume of `image`, read from `imagePath`; a ToolError names the file at fault.
firmware::InsertResult InsertModule(const std::string& imagePath, const std::vector<uint8_t>& image,
                                    const std::optional<std::string>& modulePath, const firmware::PeimFileOptions& peim,
                                    bool preMemory);

// One line per fact, for the text report.
std::vector<std::string> InsertLines(const firmware::InsertReport& report);
nlohmann::json InsertJson(const firmware::InsertReport& report);

}  // namespace veriflash
