#include "tools/veriflash/platform_options.h"

#include <fmt/core.h>

#include <algorithm>
#include <map>

#include "module/fit/fit.h"
#include "tools/veriflash/flash_span.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

const std::map<std::string, vplat::TraceHubMode> TRACE_HUB_MODES = {
    {"present", vplat::TraceHubMode::Present},
    {"disabled", vplat::TraceHubMode::Disabled},
    {"absent", vplat::TraceHubMode::Absent},
};

}  // namespace

const char* TraceHubName(vplat::TraceHubMode mode) {
  for (const auto& [name, value] : TRACE_HUB_MODES)
    if (value == mode) return name.c_str();
  return "?";
}

void AddPlatformOptions(CLI::App& command, PlatformOptions& o) {
  command
      .add_option("--engine", o.engine,
                  "emulated: the real veriflash.efi on an emulated i386; native: the host build of the same logic; "
                  "qemu (run only): boot an image made with image create --firmware in real firmware under "
                  "qemu-system-i386")
      ->transform(CLI::CheckedTransformer(std::map<std::string, Engine>{
          {"emulated", Engine::Emulated}, {"native", Engine::Native}, {"qemu", Engine::Qemu}}))
      ->option_text("emulated|native|qemu (default emulated)");
  command.add_option("--trace-hub", o.traceHub, "The platform's trace hub: present, disabled or absent")
      ->transform(CLI::CheckedTransformer(TRACE_HUB_MODES))
      ->option_text("present|disabled|absent (default present)");
  command.add_option_function<std::string>(
             "--tsc-hob", [&o](const std::string& value) { o.tscHob = value == "present"; },
             "A TSC frequency HOB before the module runs: absent (the module measures and publishes one) or present")
      ->check(CLI::IsMember({"absent", "present"}))
      ->option_text("absent|present (default absent)");
  command
      .add_option("--module", o.module,
                  "Module file for the emulated engine (default: veriflash.efi beside this program), placed where "
                  "the image already holds a module, else at 0xFFD40000")
      ->option_text("FILE");
}

runners::Scenario MakeScenario(const PlatformOptions& o, std::string name, std::vector<uint8_t> image) {
  runners::Scenario s;
  s.name = std::move(name);
  s.image = std::move(image);
  s.traceHub = o.traceHub;
  s.tscHobPresent = o.tscHob;
  return s;
}

ModuleChoice ChooseModule(const PlatformOptions& o, const std::string& imageName, const std::vector<uint8_t>& image,
                          const Analysis& analysis) {
  ModuleFile file = LoadGivenOrDefaultModule(o.module, "--engine native");
  const std::string& path = file.path;
  const auto placed = FindPlacedModule(image);
  const uint32_t address = placed ? placed->base : vplat::DEFAULT_MODULE_ADDRESS;

  std::vector<FlashSpan> spans = {{"FIT pointer", FIT_POINTER_ADDRESS, uint64_t{FIT_POINTER_ADDRESS} + 4},
                                  {"module", address, uint64_t{address} + file.info.sizeOfImage}};
  if (analysis.fit) spans.push_back({"FIT", analysis.fit->address, analysis.fit->address + uint64_t{analysis.fit->count} * FIT_ENTRY_SIZE});
  if (analysis.reference) spans.push_back({"manifest", *analysis.manifest, uint64_t{*analysis.manifest} + MANIFEST_READ_SIZE});
  try {
    RequireApart(spans);
  } catch (const ToolError& e) {
    throw ToolError(fmt::format("{}: cannot emulate {}: {}", imageName, path, e.what()));
  }

  if (placed) {
    std::vector<uint8_t> copy = image;
    try {
      firmware::PlaceModule(copy, file.bytes, address);
    } catch (const firmware::PeError& e) {
      throw ToolError(fmt::format("{}: cannot place the module at {}: {}", path, Hex(address, 8), e.what()));
    }
    const auto from = static_cast<ptrdiff_t>(vplat::OffsetOf(image, address));
    if (!std::equal(copy.begin() + from, copy.begin() + from + file.info.sizeOfImage, image.begin() + from))
      fmt::print(stderr, "veriflash: note: {} holds a different module at {}; running {} placed there instead\n",
                 imageName, Where(image, address), path);
  }
  return {path, std::move(file.bytes), address};
}

std::string DescribePlatform(const PlatformOptions& o) {
  return fmt::format("trace hub {}, {} TSC frequency HOB before the run", TraceHubName(o.traceHub),
                     o.tscHob ? "a" : "no");
}

}  // namespace veriflash
