// veriflash image create OUT: writes a flash image that ends at 4 GiB, with
// the module placed in it, or a full flash dump that holds it as its BIOS
// region, and says whether the check will pass on it.
#include <fmt/core.h>

#include <cstring>

#include "firmware/flash_dump.h"
#include "module/fit/fit.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/firmware_image.h"
#include "tools/veriflash/firmware_insert.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_layout_report.h"
#include "tools/veriflash/flash_span.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/option_words.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/number_option.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/flash_image.h"

namespace veriflash {
namespace {

enum class FitChecksum { Valid, Off, Bad };

struct ImageCreateOptions {
  std::string out;
  uint64_t size = vplat::DEFAULT_IMAGE_SIZE;
  vplat::RegionFill fill = vplat::RegionFill::Pattern;
  uint64_t seed = 1;
  std::string content;
  uint32_t fit = vplat::DEFAULT_FIT_ADDRESS;
  FitChecksum fitChecksum = FitChecksum::Valid;
  bool noFit = false;
  uint32_t manifest = vplat::DEFAULT_MANIFEST_ADDRESS;
  bool noManifestEntry = false;
  bool wrongManifestSignature = false;
  vplat::ReferenceDigest digest = vplat::ReferenceDigest::Correct;
  std::vector<uint32_t> tamper;
  std::string module;  // empty: veriflash.efi beside the tool
  uint32_t moduleAt = vplat::DEFAULT_MODULE_ADDRESS;
  bool noModule = false;
  bool descriptor = false;
  uint64_t flashSize = 16u << 20;
  std::string firmware;  // with vars: the image boots in that firmware
  std::string vars;
  bool preMemory = false;
  firmware::PeimFileOptions peim;
  bool force = false;
  OutputOptions output;
};

// Bytes of the FIT the builder writes: the header and the default entries at most.
uint32_t FitSize(const ImageCreateOptions& o) {
  return static_cast<uint32_t>(vplat::DefaultFitEntries(o.manifest).size() + 1) * FIT_ENTRY_SIZE;
}

vplat::FlashImageOptions BuilderOptions(const ImageCreateOptions& o) {
  vplat::FlashImageOptions b;
  b.size = static_cast<uint32_t>(o.size);
  b.fill = o.fill;
  b.seed = o.seed;
  if (!o.content.empty()) {
    b.fill = vplat::RegionFill::Content;
    b.regionContent = ReadFile(o.content, "region content", vplat::REGION_SIZE);
  }
  b.fitAddress = o.fit;
  b.fitChecksum = o.fitChecksum != FitChecksum::Off;
  b.manifestAddress = o.manifest;
  b.digest = o.digest;
  if (o.noManifestEntry) {
    for (const auto& e : vplat::DefaultFitEntries(o.manifest))
      if ((e.typeAndFlags & FIT_TYPE_MASK) != FIT_TYPE_BOOT_POLICY_MANIFEST) b.entries.push_back(e);
  }
  return b;
}

// The faults asked for, made after the digest went in.
void Spoil(const ImageCreateOptions& o, std::vector<uint8_t>& image) {
  if (o.fitChecksum == FitChecksum::Bad) image[vplat::OffsetOf(image, o.fit) + offsetof(FitEntry, Checksum)] ^= 0x01;
  if (o.wrongManifestSignature) vplat::Store(image, o.manifest, "__ACBX__", 8);
  if (o.noFit) {
    const std::vector<uint8_t> erased(FitSize(o), 0xFF);
    vplat::Store(image, o.fit, erased.data(), erased.size());
    vplat::Store32(image, vplat::FIT_POINTER, 0xFFFFFFFFu);
  }
  for (uint32_t at : o.tamper) {
    if (at < vplat::REGION_BASE || at - vplat::REGION_BASE >= vplat::REGION_SIZE)
      throw ToolError(fmt::format("--tamper {} lies outside the checked region {}-{}", Hex(at, 8),
                                  Hex(vplat::REGION_BASE, 8), Hex(vplat::REGION_BASE + vplat::REGION_SIZE - 1, 8)));
    image[vplat::OffsetOf(image, at)] ^= 0x01;
  }
}

// The file to write: the image itself, or a full dump holding it as its BIOS region.
FlashFile FileOf(const ImageCreateOptions& o, std::vector<uint8_t> image) {
  if (!o.descriptor) return MapFlashFile(o.out, std::move(image));
  try {
    return MapFlashFile(o.out, firmware::BuildFlashDump(image, o.flashSize));
  } catch (const firmware::FlashImageError& e) {
    throw ToolError(fmt::format("--flash-size {}: {}", Hex(o.flashSize), e.what()));
  }
}

int RunImageCreate(const ImageCreateOptions& o) {
  const std::string sizeProblem = ImageSizeProblem(o.size);
  if (!sizeProblem.empty()) throw ToolError("--size " + sizeProblem);
  RefuseJsonToStdout(o.out, o.output.json);
  CheckOutput(o.out, o.force);
  if (!o.firmware.empty() && o.size > FIRMWARE_IMAGE_MAX_SIZE)
    throw ToolError(fmt::format("--size {}: an image that boots in firmware is at most {}, all QEMU maps as pflash",
                                SizeText(o.size), SizeText(FIRMWARE_IMAGE_MAX_SIZE)));

  std::vector<FlashSpan> spans = {{"checked region", vplat::REGION_BASE, uint64_t{vplat::REGION_BASE} + vplat::REGION_SIZE},
                             {"FIT pointer", vplat::FIT_POINTER, uint64_t{vplat::FIT_POINTER} + 4},
                             {"FIT", o.fit, uint64_t{o.fit} + FitSize(o)},
                             {"manifest", o.manifest, uint64_t{o.manifest} + vplat::DEFAULT_MANIFEST_SIZE}};
  std::optional<FirmwareParts> parts;
  if (!o.firmware.empty())
    parts = LoadFirmwareParts(o.firmware, o.vars, o.noModule ? std::nullopt : std::optional(o.module), o.peim, o.preMemory);
  std::optional<ModuleFile> module;
  if (parts) {
    // The firmware holds the FIT pointer and part of the region, but neither the FIT nor the manifest.
    RequireApart({spans[2], spans[3], {"firmware", 0x100000000ull - parts->Size(), 0x100000000ull}});
  } else if (!o.noModule) {
    module = LoadGivenOrDefaultModule(o.module, "--no-module");
    spans.push_back({"module", o.moduleAt, uint64_t{o.moduleAt} + module->info.sizeOfImage});
  }
  // The builder hashes the region before it writes the FIT and the manifest,
  // and the module goes in after all of them: none may cover another.
  RequireApart(spans);

  std::vector<uint8_t> image;
  try {
    image = vplat::BuildFlashImage(BuilderOptions(o));
  } catch (const std::invalid_argument& e) {
    throw ToolError(fmt::format("{}: cannot build the image: {}", o.out, e.what()));
  }
  if (parts) PutFirmwareOnTop(image, *parts, o.fit, o.manifest, o.digest);
  std::optional<firmware::PlacedModule> placed;
  if (module) {
    try {
      placed = firmware::PlaceModule(image, module->bytes, o.moduleAt);
    } catch (const firmware::PeError& e) {
      throw ToolError(fmt::format("{}: cannot place the module at {}: {}", module->path, Hex(o.moduleAt, 8), e.what()));
    }
  }
  Spoil(o, image);
  const FlashFile file = FileOf(o, std::move(image));
  if (placed)
    Note(o.output, fmt::format("placed {} at {}, entry {}, {} relocations applied", module->path,
                               Where(file.layout, placed->base), Hex(placed->entry, 8), placed->info.relocationCount));
  WriteOutput(o.out, file.bytes, o.force);

  const Analysis analysis = AnalyzeImage(file.window, file.layout);
  const std::string verdict =
      analysis.Passes() ? "the check passes" : "the check fails: " + FailureReason(analysis.steps.back());
  if (o.output.json) {
    nlohmann::json doc = InspectJson(Inspected(o.out, file.window, analysis));
    doc["written"] = o.out;
    if (parts && parts->inserted) doc["firmware"] = InsertJson(*parts->inserted);
    PrintJson(doc);
  } else {
    std::string what = file.layout.descriptor ? DescribeFlashLayout(file.layout)
                                              : Hex(file.layout.WindowBase(), 8) + "-0xFFFFFFFF";
    what += placed ? fmt::format(", module at {}", Where(file.layout, placed->base)) : std::string(", no module");
    if (parts) what = Hex(file.layout.WindowBase(), 8) + "-0xFFFFFFFF" + FirmwareSummary(file.layout, *parts);
    fmt::print(ReportStream(o.out), "wrote {}: {}, {}; {}\n", o.out, SizeText(file.bytes.size()), what, verdict);
  }
  return EXIT_PASS;
}

}  // namespace

void SetupImage(CLI::App& app, Command& chosen) {
  CLI::App* image = app.add_subcommand("image", "Work with flash images");
  image->require_subcommand(1);
  auto o = std::make_shared<ImageCreateOptions>();
  CLI::App* create = image->add_subcommand(
      "create",
      "Write a flash image that ends at 4 GiB: the checked region, a boot policy manifest with the region's "
      "reference digest, a FIT pointing to it, and the module placed to run in place. Options marked FAILS make "
      "the check fail on purpose.");
  create->add_option("OUT", o->out, "Image file to write (atomically); - writes it to stdout. Required, here or as -o")->option_text("FILE");
  create->add_option("-o,--output", o->out, "The same as OUT; give one of the two")->option_text("FILE");
  NumberIn(create->add_option("--size", o->size, "Image size; a multiple of 4 KiB from 0x590000 (reaching down to "
                                                 "0xFFA70000) to 16 MiB"),
           NumberKind::Size, MIN_IMAGE_SIZE, MAX_IMAGE_SIZE)
      ->option_text("SIZE (default 8MiB)");
  create->add_option("--fill", o->fill, "Content of the checked region")
      ->transform(Words(std::map<std::string, vplat::RegionFill>{{"pattern", vplat::RegionFill::Pattern},
                                                                 {"zeros", vplat::RegionFill::Zeros}}))
      ->option_text("pattern|zeros (default pattern)");
  NumberIn(create->add_option("--seed", o->seed, "Seed of the region's pattern"), NumberKind::Integer, 0, UINT64_MAX)
      ->option_text("N (default 1)");
  create->add_option("--content", o->content,
                     "Fill the checked region from FILE (at most 0x2D0000 bytes; a shorter file is padded with 0xFF)")
      ->option_text("FILE")
      ->excludes("--fill")
      ->excludes("--seed");
  NumberIn(create->add_option("--fit", o->fit, "Physical address of the FIT"), NumberKind::Integer, 0, UINT32_MAX)
      ->option_text("ADDR (default 0xFFFE0000)");
  create->add_option("--fit-checksum", o->fitChecksum,
                     "valid: checksum bit set and the table sums to zero; off: bit clear, not verified; "
                     "bad: bit set and the table does not sum to zero (FAILS: CRC Error)")
      ->transform(Words(std::vector<std::pair<std::string, FitChecksum>>{
          {"valid", FitChecksum::Valid}, {"off", FitChecksum::Off}, {"bad", FitChecksum::Bad}}))
      ->option_text("valid|off|bad (default valid)");
  create->add_flag("--no-fit", o->noFit, "Leave the FIT and the FIT pointer erased (FAILS: Not Found)")
      ->excludes("--fit-checksum");
  NumberIn(create->add_option("--manifest", o->manifest, "Physical address of the boot policy manifest"),
           NumberKind::Integer, 0, UINT32_MAX)
      ->option_text("ADDR (default 0xFFFD0000)");
  create->add_flag("--no-manifest-entry", o->noManifestEntry,
                   "Leave the boot policy manifest entry (type 0x0C) out of the FIT (FAILS: Not Found)");
  create->add_flag("--wrong-manifest-signature", o->wrongManifestSignature,
                   "Write \"__ACBX__\" instead of \"__ACBP__\" at the manifest (FAILS: Not Found)");
  create->add_option("--digest", o->digest,
                     "Reference digest in the manifest: correct, or wrong in its last byte (FAILS: Security Violation)")
      ->transform(Words(std::map<std::string, vplat::ReferenceDigest>{
          {"correct", vplat::ReferenceDigest::Correct}, {"wrong", vplat::ReferenceDigest::Wrong}}))
      ->option_text("correct|wrong (default correct)");
  NumberIn(create->add_option("--tamper", o->tamper,
                               "Flip bit 0 of the byte at this address of the checked region after the digest was "
                               "taken; repeatable (FAILS: Security Violation)"),
           NumberKind::Integer, 0, UINT32_MAX)
      ->option_text("ADDR ...");
  create->add_option("--module", o->module, "Module to place (default: the veriflash.efi this program ships)")
      ->option_text("FILE");
  NumberIn(create->add_option("--module-at", o->moduleAt,
                               "Physical address the module is placed and rebased at, above the checked region"),
           NumberKind::Integer, 0, UINT32_MAX)
      ->option_text("ADDR (default 0xFFD40000)");
  create->add_flag("--no-module", o->noModule, "Place no module (with --firmware: add none to it)")
      ->excludes("--module")
      ->excludes("--module-at");
  auto* descriptor = create->add_flag(
      "--descriptor", o->descriptor,
      "Write a full SPI flash dump instead: a flash descriptor, an ME region (zeros) as a placeholder, and the "
      "image as the BIOS region at the top of the flash");
  NumberIn(create->add_option("--flash-size", o->flashSize, "Size of the full dump: a power of two up to 64 MiB"),
           NumberKind::Size, firmware::FLASH_COMPONENT_MIN, firmware::FLASH_COMPONENT_MAX)
      ->needs(descriptor)
      ->option_text("SIZE (default 16MiB)");
  CLI::Option* firmwareOption =
      create
          ->add_option("--firmware", o->firmware,
                       "Make an image that boots in this firmware's code part: one whose PEI phase is IA-32, such as "
                       "Debian's OVMF32_CODE_4M.secboot.fd (ovmf-ia32) or OVMF_CODE_4M.fd, OVMF_CODE_4M.secboot.fd "
                       "and OVMF_CODE_4M.ms.fd (ovmf: 32-bit PEI, 64-bit DXE); the 2 MiB OVMF_CODE*.fd have a 64-bit "
                       "PEI phase and are refused. The module goes into its PEI volume (see `firmware add`), and the "
                       "image (at most 8 MiB, what QEMU maps) is the lower part (region, FIT at 0xFFA68000, manifest "
                       "at 0xFFA60000 unless given), then the variable store, then the code part at the top. The "
                       "region then covers the variable store, which the firmware writes: boot every run from a "
                       "fresh copy (run --engine qemu does)")
          ->option_text("CODE.fd")
          ->excludes("--module-at")
          ->excludes(descriptor);
  create->add_option("--vars", o->vars, "The firmware's variable store, the VARS file of its build (OVMF32_VARS_4M.fd, OVMF_VARS_4M.fd, "
                                "OVMF_VARS_4M.ms.fd), placed below the code part")
      ->option_text("VARS.fd")
      ->needs(firmwareOption);
  firmwareOption->needs("--vars");
  create->add_flag("--pre-memory", o->preMemory,
                   "With --firmware: list the module in the PEI a-priori file, so it runs in place before memory "
                   "(the original a-priori file becomes a pad file and a new one, the old list plus the module, is "
                   "written at the volume's end)")
      ->needs(firmwareOption)
      ->excludes("--no-module");
  AddGuidOption(*create, o->peim.name);
  create->add_flag("-f,--force", o->force, "Replace OUT if it exists");
  AddOutputOptions(*create, o->output);
  create->callback([o, create, &chosen] {
    if (create->count("OUT") + create->count("--output") != 1)
      throw ToolError("image create: give the image to write once, as OUT or as -o FILE");
    if (!o->firmware.empty() && create->count("--fit") == 0) o->fit = FIRMWARE_IMAGE_FIT_ADDRESS;
    if (!o->firmware.empty() && create->count("--manifest") == 0) o->manifest = FIRMWARE_IMAGE_MANIFEST_ADDRESS;
    chosen = [o] { return RunImageCreate(*o); };
  });
  SetupImageStamp(*image, chosen);
}

}  // namespace veriflash
