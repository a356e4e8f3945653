#include "tools/veriflash/firmware_insert.h"

#include <fmt/core.h>

#include <filesystem>

#include "firmware/code_part.h"
#include "firmware/firmware_error.h"
#include "firmware/pi_guid.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

constexpr uint64_t MAX_FIRMWARE_SIZE = 64u << 20;

}  // namespace

void AddGuidOption(CLI::App& command, firmware::PiGuid& guid) {
  command
      .add_option_function<std::string>(
          "--guid",
          [&guid](const std::string& text) {
            const auto parsed = firmware::ParseGuid(text);
            if (!parsed) throw CLI::ValidationError("--guid", text + " is not a GUID of the form 8-4-4-4-12 hex digits");
            guid = *parsed;
          },
          "Name of the module's firmware file (default " + firmware::GuidText(firmware::VERIFLASH_PEIM_GUID) +
              ", the module's own)")
      ->option_text("GUID");
}

std::vector<uint8_t> LoadFirmware(const std::string& path, const std::string& what) {
  std::error_code error;
  if (!std::filesystem::exists(path, error))
    throw ToolError(fmt::format("{}: no such {}; Debian's ovmf and ovmf-ia32 packages install them in /usr/share/OVMF "
                                "(OVMF_CODE_4M.fd with OVMF_VARS_4M.fd, OVMF32_CODE_4M.secboot.fd with OVMF32_VARS_4M.fd)",
                                path, what));
  return ReadFile(path, what, MAX_FIRMWARE_SIZE);
}

std::vector<uint8_t> LoadCodePart(const std::string& path, const std::string& what) {
  std::vector<uint8_t> code = LoadFirmware(path, what);
  try {
    firmware::CheckCodePart(code);
  } catch (const firmware::FirmwareError& e) {
    throw ToolError(fmt::format("{}: {}", path, e.what()));
  }
  return code;
}

std::vector<uint8_t> LoadVariableStore(const std::string& path, uint64_t codeSize) {
  std::vector<uint8_t> vars = LoadFirmware(path, "variable store");
  try {
    firmware::CheckVariableStore(vars, codeSize);
  } catch (const firmware::FirmwareError& e) {
    throw ToolError(fmt::format("{}: not the variable store of this code part: {}", path, e.what()));
  }
  return vars;
}

firmware::InsertResult InsertModule(const std::string& imagePath, const std::vector<uint8_t>& image,
                                    const std::optional<std::string>& modulePath, const firmware::PeimFileOptions& peim,
                                    bool preMemory) {
  firmware::InsertOptions options;
  options.peim = peim;
  options.preMemory = preMemory;
  if (modulePath) options.module = LoadGivenOrDefaultModule(*modulePath, "--no-module").bytes;
  try {
    return firmware::InsertPeim(image, options);
  } catch (const firmware::FirmwareError& e) {
    throw ToolError(fmt::format("{}: {}", imagePath, e.what()));
  } catch (const firmware::PeError& e) {
    throw ToolError(fmt::format("{}: not a usable module: {}", modulePath ? *modulePath : std::string("module"), e.what()));
  }
}

std::vector<std::string> InsertLines(const firmware::InsertReport& r) {
  std::vector<std::string> lines;
  lines.push_back(fmt::format("PEI volume  {}", firmware::PathText(r)));
  lines.push_back(fmt::format("            {} bytes, runs at {}; free {} before, {} after", Hex(r.volumeSize),
                              Hex(r.volumeBase, 8), Hex(r.freeBefore), Hex(r.freeAfter)));
  if (r.fileOffset)
    lines.push_back(fmt::format("module      file at volume offset {}, image rebased to {}, entry {}", Hex(*r.fileOffset),
                                Hex(*r.imageAddress, 8), Hex(*r.entryAddress, 8)));
  else
    lines.push_back("module      none added: the containers were rebuilt only");
  std::string apriori;
  for (const auto& guid : r.apriori) apriori += (apriori.empty() ? "" : ", ") + firmware::GuidText(guid);
  lines.push_back("a-priori    " + (apriori.empty() ? std::string("none") : apriori));
  for (const auto& c : r.recompressed)
    lines.push_back(fmt::format("LZMA        {} bytes recompressed to {} (was {}) in {:.1f} s", Hex(c.uncompressed),
                                Hex(c.after), Hex(c.before), c.seconds));
  return lines;
}

nlohmann::json InsertJson(const firmware::InsertReport& r) {
  nlohmann::json doc;
  doc["path"] = r.path;
  doc["volumeSize"] = Hex(r.volumeSize);
  doc["volumeBase"] = Hex(r.volumeBase, 8);
  doc["freeBefore"] = Hex(r.freeBefore);
  doc["freeAfter"] = Hex(r.freeAfter);
  doc["module"] = nullptr;
  if (r.fileOffset)
    doc["module"] = {{"fileOffset", Hex(*r.fileOffset)}, {"imageAddress", Hex(*r.imageAddress, 8)},
                     {"entryAddress", Hex(*r.entryAddress, 8)}};
  doc["apriori"] = nlohmann::json::array();
  for (const auto& guid : r.apriori) doc["apriori"].push_back(firmware::GuidText(guid));
  doc["recompressed"] = nlohmann::json::array();
  for (const auto& c : r.recompressed)
    doc["recompressed"].push_back({{"uncompressed", c.uncompressed}, {"before", c.before}, {"after", c.after},
                                   {"seconds", c.seconds}});
  return doc;
}

}  // namespace veriflash
