// veriflash firmware extract IMAGE (--file | --volume | --region) -o OUT:
// writes one piece of a firmware image as it is, found through the same walk
// `firmware list` does, so a volume nested in a compressed section comes out
// decompressed. A target met twice, or never, is refused: writing the first
// of two would be a guess.
#include <fmt/core.h>

#include <array>
#include <utility>

#include "firmware/firmware_tree.h"
#include "firmware/firmware_volume.h"
#include "firmware/flash_descriptor.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_names.h"
#include "firmware/pi_section.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/option_words.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

// --section words, by the section type they stand for.
constexpr std::array<std::pair<const char*, uint8_t>, 12> SECTION_WORDS = {{{"pe32", 0x10},
                                                                             {"pic", 0x11},
                                                                             {"te", 0x12},
                                                                             {"dxe-depex", 0x13},
                                                                             {"version", 0x14},
                                                                             {"ui", 0x15},
                                                                             {"compat16", 0x16},
                                                                             {"fv", 0x17},
                                                                             {"freeform", 0x18},
                                                                             {"raw", 0x19},
                                                                             {"pei-depex", 0x1B},
                                                                             {"mm-depex", 0x1C}}};

// --region words, by region index in the descriptor's table.
constexpr std::array<std::pair<const char*, uint32_t>, 6> REGION_WORDS = {
    {{"descriptor", firmware::FLASH_REGION_DESCRIPTOR},
     {"bios", firmware::FLASH_REGION_BIOS},
     {"me", firmware::FLASH_REGION_ME},
     {"gbe", 3},
     {"pdr", 4},
     {"ec", 8}}};

struct FirmwareExtractOptions {
  std::string image;
  std::string file;    // GUID or user-interface name
  std::string volume;  // GUID
  std::optional<uint8_t> section;
  std::optional<uint32_t> region;
  std::string out;
  bool force = false;
  OutputOptions output;
};

// One place the target was found.
struct Piece {
  std::string kind;  // "file", "section", "volume", "region"
  std::vector<std::string> path;
  uint64_t offset = 0;  // from the start of the container the path ends in
  std::vector<uint8_t> bytes;
};

std::string PathText(const std::vector<std::string>& path) {
  std::string text;
  for (const std::string& step : path) text += (text.empty() ? "" : " > ") + step;
  return text;
}

std::string FileStep(const firmware::TreeFile& f) {
  return "file " + firmware::GuidText(f.name) + (f.uiName.empty() ? "" : " (" + f.uiName + ")") + " at " +
         Hex(f.offset);
}

bool FileMatches(const firmware::TreeFile& f, const std::string& wanted, const std::optional<firmware::PiGuid>& guid) {
  return guid ? f.name == *guid : f.uiName == wanted;
}

// The file's sections of type `type`, each its payload without its header.
void AddSections(const firmware::TreeFile& tf, const firmware::FfsFile& file, uint8_t type,
                 std::vector<std::string> path, std::vector<Piece>& found) {
  if (!tf.sectionError.empty()) return;
  const std::vector<firmware::Section> sections = firmware::ParseSections(file.data);
  path.push_back(FileStep(tf));
  for (size_t i = 0; i < sections.size() && i < tf.sections.size(); ++i) {
    if (sections[i].type != type) continue;
    const firmware::TreeSection& t = tf.sections[i];
    found.push_back({"section", path, t.offset + t.size - sections[i].payload.size(), sections[i].payload});
  }
}

std::vector<Piece> FindInTree(std::span<const uint8_t> image, const FirmwareExtractOptions& o) {
  const std::optional<firmware::PiGuid> fileGuid = firmware::ParseGuid(o.file);
  std::optional<firmware::PiGuid> volumeGuid;
  if (!o.volume.empty()) {
    volumeGuid = firmware::ParseGuid(o.volume);
    if (!volumeGuid) throw ToolError(fmt::format("--volume {}: not a GUID", o.volume));
  }
  std::vector<Piece> found;
  firmware::ReadFirmwareTree(image, {}, [&](const firmware::TreeVolumeBytes& at) {
    const firmware::TreeVolume& v = at.volume;
    if (volumeGuid) {
      if (v.name == volumeGuid)
        found.push_back({"volume", at.path, v.offset, {at.bytes.begin(), at.bytes.end()}});
      return;
    }
    if (v.files.empty()) return;
    // The walk read these files already; read again for their data.
    const firmware::FirmwareVolume volume = firmware::ReadVolume(at.bytes);
    for (size_t i = 0; i < v.files.size(); ++i) {
      const firmware::TreeFile& f = v.files[i];
      if (!FileMatches(f, o.file, fileGuid)) continue;
      if (o.section) {
        AddSections(f, volume.files[i], *o.section, at.path, found);
      } else {
        const auto bytes = at.bytes.subspan(f.offset, f.size);
        found.push_back({"file", at.path, f.offset, {bytes.begin(), bytes.end()}});
      }
    }
  });
  return found;
}

Piece FindRegion(const std::vector<uint8_t>& image, const FirmwareExtractOptions& o) {
  if (!firmware::HasFlashDescriptor(image))
    throw ToolError(fmt::format("{}: no flash descriptor, so no regions: --region needs a full flash dump", o.image));
  firmware::FlashDescriptor descriptor;
  try {
    descriptor = firmware::ReadFlashDescriptor(image);
  } catch (const firmware::FlashImageError& e) {
    throw ToolError(fmt::format("{}: {}", o.image, e.what()));
  }
  for (const firmware::FlashRegion& r : descriptor.regions) {
    if (r.index != *o.region) continue;
    if (r.last >= image.size())
      throw ToolError(fmt::format("{}: {} region {}-{} reaches past the file's end ({})", o.image,
                                  firmware::FlashRegionName(r.index), Hex(r.first), Hex(r.last), Hex(image.size())));
    const auto first = image.begin() + r.first;
    return {"region", {"descriptor region " + firmware::FlashRegionName(r.index)}, r.first,
            {first, first + static_cast<ptrdiff_t>(r.Size())}};
  }
  throw ToolError(fmt::format("{}: the descriptor marks the {} region unused", o.image, firmware::FlashRegionName(*o.region)));
}

std::string TargetText(const FirmwareExtractOptions& o) {
  if (!o.volume.empty()) return "volume " + o.volume;
  std::string text = "file " + o.file;
  if (o.section) text = firmware::SectionTypeName(*o.section) + " section of " + text;
  return text;
}

Piece FindPiece(const std::vector<uint8_t>& image, const FirmwareExtractOptions& o) {
  if (o.region) return FindRegion(image, o);
  std::vector<Piece> found = FindInTree(image, o);
  if (found.empty()) throw ToolError(fmt::format("{}: no {}", o.image, TargetText(o)));
  if (found.size() > 1)
    throw ToolError(fmt::format("{}: {} is ambiguous, found at {} in {} and at {} in {}", o.image, TargetText(o),
                                Hex(found[0].offset), PathText(found[0].path), Hex(found[1].offset),
                                PathText(found[1].path)));
  return std::move(found.front());
}

int RunFirmwareExtract(const FirmwareExtractOptions& o) {
  if (o.file.empty() && o.volume.empty() && !o.region)
    throw ToolError("firmware extract: say what to extract: --file, --volume or --region");
  RefuseJsonToStdout(o.out, o.output.json);
  CheckOutput(o.out, o.force);
  const std::vector<uint8_t> image = ReadFile(o.image, "firmware image", firmware::FLASH_ADDRESSABLE_SIZE);
  const Piece piece = FindPiece(image, o);
  WriteOutput(o.out, piece.bytes, o.force);
  if (o.output.json) {
    PrintJson({{"kind", piece.kind},
               {"path", piece.path},
               {"offset", Hex(piece.offset)},
               {"size", Hex(piece.bytes.size())},
               {"written", o.out}});
  } else {
    fmt::print(ReportStream(o.out), "wrote {}: {} bytes, the {} at {} in {}\n", o.out, Hex(piece.bytes.size()),
               piece.kind, Hex(piece.offset), PathText(piece.path));
  }
  return EXIT_PASS;
}

}  // namespace

void SetupFirmwareExtract(CLI::App& group, Command& chosen) {
  auto o = std::make_shared<FirmwareExtractOptions>();
  CLI::App* extract = group.add_subcommand(
      "extract",
      "Write one piece of a firmware or flash image to a file, exactly as it is: with --file a whole FFS file, header "
      "included, or with --section the payload of one of its sections (without the section header; a PE32 section "
      "gives the module's image as placed, rebased); with --volume a firmware volume by the name in its extended "
      "header, decompressed when it lies in an LZMA section; with --region a region of a full flash dump, as its "
      "descriptor places it. Files and volumes are looked for everywhere `firmware list` shows them. Exit status 0: "
      "written; 2: the target is absent, or found more than once (both places named), an unreadable image, or "
      "usage; nothing is written then.");
  extract->add_option("IMAGE", o->image, "Firmware or flash image")->required()->option_text("FILE");
  CLI::Option* file =
      extract->add_option("--file", o->file, "The FFS file with this GUID, or with this user-interface name")
          ->option_text("GUID|NAME");
  extract->add_option("--section", o->section, "Of that file, the payload of the one section of this type directly in it")
      ->transform(Words(SECTION_WORDS))
      ->option_text("pe32|te|raw|ui|pei-depex|...")
      ->needs(file);
  CLI::Option* volume =
      extract->add_option("--volume", o->volume, "The firmware volume with this GUID as its name")->option_text("GUID");
  CLI::Option* region = extract->add_option("--region", o->region, "The region of a full flash dump")
                            ->transform(Words(REGION_WORDS))
                            ->option_text("descriptor|bios|me|gbe|pdr|ec");
  file->excludes(volume)->excludes(region);
  volume->excludes(region);
  extract->add_option("-o,--output", o->out, "File to write (atomically); - writes it to stdout")
      ->required()
      ->option_text("FILE");
  extract->add_flag("-f,--force", o->force, "Replace the output file if it exists");
  AddOutputOptions(*extract, o->output);
  extract->callback([o, &chosen] { chosen = [o] { return RunFirmwareExtract(*o); }; });
}

}  // namespace veriflash
