#include "tools/veriflash/module_choice.h"

#include <fmt/core.h>

#include <algorithm>

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

ModuleChoice ChooseModule(const PlatformOptions& o, const std::string& imageName, const std::vector<uint8_t>& image,
                          const Analysis& analysis) {
  const auto placed = FindPlacedModule(image);
  ModuleChoice choice;
  if (o.module.empty() && placed) {
    choice.address = placed->base;
    choice.size = placed->size;
    choice.identicalToShipped = IdenticalToShipped(image, choice.address, choice.size);
    return choice;
  }
  ModuleFile file = LoadGivenOrDefaultModule(o.module, "--engine native");
  choice.source = o.module.empty() ? ModuleSource::Shipped : ModuleSource::File;
  choice.address = placed ? placed->base : vplat::DEFAULT_MODULE_ADDRESS;
  choice.size = file.info.sizeOfImage;
  RequireClearOfTheCheck(imageName, file.path, choice.address, choice.size, analysis);
  if (choice.source == ModuleSource::Shipped) {
    choice.identicalToShipped = true;
  } else if (const auto shipped = FindShippedModule()) {
    choice.identicalToShipped =
        Rebased(file.path, file.bytes, choice.address) == Rebased(shipped->path, shipped->bytes, choice.address);
  }
  choice.path = std::move(file.path);
  choice.efi = std::move(file.bytes);
  return choice;
}

std::string ShippedComparison(std::optional<bool> identical) {
  if (!identical) return "no shipped build beside the tool to compare with";
  return *identical ? "byte-identical to the shipped build" : "differs from the shipped build";
}

std::string DescribeModule(const firmware::FlashLayout& layout, const ModuleChoice& m) {
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
  return doc;
}

}  // namespace veriflash
