#include "tools/veriflash/module_choice.h"

#include <fmt/core.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <span>

#include "firmware/firmware_modules.h"
#include "firmware/pi_guid.h"
#include "module/fit/fit.h"
#include "tools/veriflash/flash_span.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

const char* SourceWord(ModuleSource source) {
  switch (source) {
    case ModuleSource::Image: return "image";
    case ModuleSource::Shipped: return "shipped";
    case ModuleSource::File: return "file";
  }
  return "?";
}

// The rebased copy of `efi` at `address`, or a ToolError naming `path`.
std::vector<uint8_t> Rebased(const std::string& path, const std::vector<uint8_t>& efi, uint32_t address) {
  try {
    return firmware::RebasePe(efi, address);
  } catch (const firmware::PeError& e) {
    throw ToolError(fmt::format("{}: cannot place the module at {}: {}", path, Hex(address, 8), e.what()));
  }
}

// A module written at `address` must leave the check's structures as they are.
void RequireClearOfTheCheck(const std::string& imageName, const std::string& path, uint32_t address, uint32_t size,
                            const Analysis& analysis) {
  std::vector<FlashSpan> check = {{"FIT pointer", FIT_POINTER_ADDRESS, uint64_t{FIT_POINTER_ADDRESS} + 4}};
  if (analysis.fit)
    check.push_back({"FIT", analysis.fit->address, analysis.fit->address + uint64_t{analysis.fit->count} * FIT_ENTRY_SIZE});
  if (analysis.reference)
    check.push_back({"manifest", *analysis.manifest, uint64_t{*analysis.manifest} + MANIFEST_READ_SIZE});
  try {
    RequireClear({"module", address, uint64_t{address} + size}, check);
  } catch (const ToolError& e) {
    throw ToolError(fmt::format("{}: cannot place {}: {}", imageName, path, e.what()));
  }
}

}  // namespace

std::optional<bool> IdenticalToShipped(const std::vector<uint8_t>& image, uint32_t address, uint32_t size) {
  const std::optional<ModuleFile> shipped = FindShippedModule();
  if (!shipped) return std::nullopt;
  const std::vector<uint8_t> expected = Rebased(shipped->path, shipped->bytes, address);
  // The window's last byte is at 0xFFFFFFFF.
  const uint64_t windowBase = firmware::FOUR_GIB - image.size();
  if (expected.size() != size || address < windowBase || address + uint64_t{size} > firmware::FOUR_GIB) return false;
  return std::equal(expected.begin(), expected.end(), image.begin() + static_cast<ptrdiff_t>(address - windowBase));
}

std::vector<ModuleChoice> ImageModules(const std::vector<uint8_t>& window) {
  std::vector<ModuleChoice> modules;
  const std::optional<firmware::PlacedModule> placed = FindPlacedModule(window);
  if (placed) {
    ModuleChoice& m = modules.emplace_back();
    m.address = placed->base;
    m.size = placed->size;
    m.identicalToShipped = IdenticalToShipped(window, m.address, m.size);
  }
  const std::optional<ModuleFile> shipped = FindShippedModule();
  for (firmware::FirmwareModule& found :
       firmware::FindModulesInFirmware(window, shipped ? std::span<const uint8_t>(shipped->bytes) : std::span<const uint8_t>())) {
    const std::string where = fmt::format("file {} in {}", firmware::GuidText(found.file), fmt::join(found.path, " > "));
    if (!found.unusable.empty()) throw ToolError(fmt::format("the module in {}: {}", where, found.unusable));
    // A PEIM of a volume that lies in flash where it runs is also a module placed plainly there.
    if (placed && placed->base == found.imageBase && !modules.empty() && !modules.front().inVolume)
      modules.erase(modules.begin());
    ModuleChoice& m = modules.emplace_back();
    m.efi = std::move(found.pe32);
    m.address = found.imageBase;
    m.size = found.sizeOfImage;
    m.identicalToShipped = found.identicalToShipped;
    m.inVolume = VolumePlace{std::move(found.path),  found.volumeName, found.file,        std::move(found.uiName),
                             found.sectionOffset,    found.preMemory,  found.inPlaceKnown};
  }
  return modules;
}

std::vector<ModuleChoice> ChooseModules(const PlatformOptions& o, const std::string& imageName,
                                        const std::vector<uint8_t>& image, const Analysis& analysis) {
  std::vector<ModuleChoice> own = ImageModules(image);
  if (o.module.empty() && !own.empty()) return own;
  const ModuleFile file = LoadGivenOrDefaultModule(o.module, "--engine native");
  const std::optional<ModuleFile> shipped = o.module.empty() ? std::nullopt : FindShippedModule();
  if (own.empty()) own.emplace_back().address = vplat::DEFAULT_MODULE_ADDRESS;
  std::vector<ModuleChoice> chosen;
  for (const ModuleChoice& over : own) {
    ModuleChoice& choice = chosen.emplace_back();
    choice.source = o.module.empty() ? ModuleSource::Shipped : ModuleSource::File;
    choice.address = over.address;
    choice.size = file.info.sizeOfImage;
    choice.inVolume = over.inVolume;
    // A copy inside a volume runs where the volume was decompressed or lies;
    // only one placed plainly is written over the flash.
    if (!choice.inVolume) RequireClearOfTheCheck(imageName, file.path, choice.address, choice.size, analysis);
    if (choice.source == ModuleSource::Shipped) {
      choice.identicalToShipped = true;
    } else if (shipped) {
      choice.identicalToShipped =
          Rebased(file.path, file.bytes, choice.address) == Rebased(shipped->path, shipped->bytes, choice.address);
    }
    choice.path = file.path;
    choice.efi = file.bytes;
  }
  return chosen;
}

std::string VolumePlaceText(const VolumePlace& v) {
  const std::string name = v.uiName.empty() ? "" : " (" + v.uiName + ")";
  const std::string volume = v.volume ? "volume " + firmware::GuidText(*v.volume) + " in " : "";
  return fmt::format("file {}{} of {}{}, PE32 section at {}", firmware::GuidText(v.file), name, volume,
                     fmt::join(v.path, " > "), Hex(v.sectionOffset));
}

nlohmann::json VolumePlaceJson(const VolumePlace& v) {
  return {{"path", v.path},
          {"volume", v.volume ? nlohmann::json(firmware::GuidText(*v.volume)) : nlohmann::json()},
          {"file", firmware::GuidText(v.file)},
          {"name", v.uiName.empty() ? nlohmann::json() : nlohmann::json(v.uiName)},
          {"sectionOffset", Hex(v.sectionOffset)},
          {"preMemory", v.preMemory},
          {"inPlaceKnown", v.inPlaceKnown}};
}

std::string RunsWhere(const ModuleChoice& m) {
  if (!m.inVolume) return "in place";
  return m.inVolume->preMemory ? "pre-memory: listed a-priori, run in place"
                               : "shadowed: not listed a-priori, the PEI core copies it to memory after memory is in";
}

std::string ShippedComparison(std::optional<bool> identical) {
  if (!identical) return "no shipped build beside the tool to compare with";
  return *identical ? "byte-identical to the shipped build" : "differs from the shipped build";
}

std::string DescribeModule(const firmware::FlashLayout& layout, const ModuleChoice& m) {
  if (m.inVolume) {
    // Only --module replaces a copy the image holds.
    const std::string what = m.source == ModuleSource::Image ? "the module" : m.path + " in place of the module";
    return fmt::format("{} in {}, at {}, {}, {}", what, VolumePlaceText(*m.inVolume), Hex(m.address, 8), RunsWhere(m),
                       ShippedComparison(m.identicalToShipped));
  }
  switch (m.source) {
    case ModuleSource::Image:
      return fmt::format("the module in the image at {}, {}", Where(layout, m.address),
                         ShippedComparison(m.identicalToShipped));
    case ModuleSource::Shipped:
      return fmt::format("the shipped build {} placed at {}, as the image holds no module", m.path, Hex(m.address, 8));
    case ModuleSource::File:
      return fmt::format("{} placed at {}, {}", m.path, Hex(m.address, 8), ShippedComparison(m.identicalToShipped));
  }
  return "?";
}

nlohmann::json ModuleJson(const firmware::FlashLayout& layout, const ModuleChoice& m) {
  nlohmann::json doc = WhereJson(layout, m.address);
  doc["source"] = SourceWord(m.source);
  doc["path"] = m.path.empty() ? nlohmann::json() : nlohmann::json(m.path);
  doc["size"] = Hex(m.size);
  doc["identicalToShipped"] = m.identicalToShipped ? nlohmann::json(*m.identicalToShipped) : nlohmann::json();
  doc["inVolume"] = nullptr;
  if (m.inVolume) {
    doc["entry"] = Hex(m.address + firmware::ReadPe(m.efi).entryRva, 8);
    doc["inVolume"] = VolumePlaceJson(*m.inVolume);
  }
  return doc;
}

}  // namespace veriflash
