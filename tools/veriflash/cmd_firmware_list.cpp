// veriflash firmware list IMAGE: the tree of a firmware image's volumes,
// files and sections, through compressed sections into nested volumes, with
// where each PE32 runs in place and where the module's copies sit.
#include <fmt/core.h>

#include <map>

#include "firmware/firmware_modules.h"
#include "firmware/flash_descriptor.h"
#include "firmware/firmware_tree.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_names.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/module_choice.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct FirmwareListOptions {
  std::string image;
  OutputOptions output;
};

// The module's copies by TreeFile::index: whether each is the shipped build.
using Marks = std::map<uint32_t, std::optional<bool>>;

std::string ModuleMark(const Marks& marks, const firmware::TreeFile& f) {
  const auto mark = marks.find(f.index);
  return mark == marks.end() ? "" : "  <- the module, " + ShippedComparison(mark->second);
}

class TextTree {
 public:
  explicit TextTree(const Marks& marks) : marks_(marks) {}

  void Volume(const firmware::TreeVolume& v, int depth) {
    Line(depth, fmt::format("volume at {}{}, {} bytes, {}{}{}", Hex(v.offset),
                            v.name ? " " + firmware::GuidText(*v.name) : std::string(), Hex(v.size),
                            v.ffs ? fmt::format("{} files, {} free", v.files.size(), Hex(v.freeSpace))
                                  : "file system " + firmware::GuidText(v.fileSystem) + ", no FFS files",
                            v.base ? ", runs at " + Hex(*v.base, 8) : std::string(),
                            v.error.empty() ? std::string() : ": " + v.error));
    for (const firmware::TreeFile& f : v.files) File(f, depth + 1);
  }

 private:
  void File(const firmware::TreeFile& f, int depth) {
    if (f.type == firmware::FV_FILETYPE_FFS_PAD) return;  // free space in all but name
    Line(depth, fmt::format("file at {} {} {}{}, {} bytes{}{}", Hex(f.offset), firmware::GuidText(f.name),
                            firmware::FileTypeName(f.type), f.uiName.empty() ? "" : " \"" + f.uiName + "\"",
                            Hex(f.size), f.apriori ? ", a-priori" : "", ModuleMark(marks_, f)));
    if (!f.sectionError.empty()) Line(depth + 1, "sections unreadable: " + f.sectionError);
    for (const firmware::TreeSection& s : f.sections) Section(s, depth + 1);
  }

  void Section(const firmware::TreeSection& s, int depth) {
    std::string text = fmt::format("{} at {}, {} bytes", firmware::SectionTypeName(s.type), Hex(s.offset), Hex(s.size));
    if (s.definition)
      text += " " + firmware::GuidText(*s.definition) + (*s.definition == firmware::LZMA_SECTION_GUID ? " (LZMA)" : "");
    if (s.inPlaceAddress) text += ", runs in place at " + Hex(*s.inPlaceAddress, 8);
    if (!s.unopened.empty()) text += ": " + s.unopened;
    Line(depth, text);
    for (const firmware::TreeSection& inner : s.sections) Section(inner, depth + 1);
    for (const firmware::TreeVolume& v : s.volumes) Volume(v, depth + 1);
  }

  static void Line(int depth, const std::string& text) { fmt::print("{:{}}{}\n", "", 2 * depth, text); }

  const Marks& marks_;
};

nlohmann::json VolumeJson(const firmware::TreeVolume& v, const Marks& marks);

nlohmann::json SectionJson(const firmware::TreeSection& s, const Marks& marks) {
  nlohmann::json doc = {{"type", Hex(s.type, 2)},
                        {"typeName", firmware::SectionTypeName(s.type)},
                        {"offset", Hex(s.offset)},
                        {"size", Hex(s.size)},
                        {"definition", s.definition ? nlohmann::json(firmware::GuidText(*s.definition)) : nlohmann::json()},
                        {"inPlaceAddress", s.inPlaceAddress ? nlohmann::json(Hex(*s.inPlaceAddress, 8)) : nlohmann::json()},
                        {"unopened", s.unopened.empty() ? nlohmann::json() : nlohmann::json(s.unopened)},
                        {"sections", nlohmann::json::array()},
                        {"volumes", nlohmann::json::array()}};
  for (const firmware::TreeSection& inner : s.sections) doc["sections"].push_back(SectionJson(inner, marks));
  for (const firmware::TreeVolume& v : s.volumes) doc["volumes"].push_back(VolumeJson(v, marks));
  return doc;
}

nlohmann::json FileJson(const firmware::TreeFile& f, const Marks& marks) {
  const auto mark = marks.find(f.index);
  nlohmann::json module;
  if (mark != marks.end())
    module = {{"identicalToShipped", mark->second ? nlohmann::json(*mark->second) : nlohmann::json()}};
  nlohmann::json doc = {{"name", firmware::GuidText(f.name)},
                        {"type", Hex(f.type, 2)},
                        {"typeName", firmware::FileTypeName(f.type)},
                        {"offset", Hex(f.offset)},
                        {"size", Hex(f.size)},
                        {"state", Hex(f.state, 2)},
                        {"uiName", f.uiName.empty() ? nlohmann::json() : nlohmann::json(f.uiName)},
                        {"apriori", f.apriori},
                        {"module", module},
                        {"sectionError", f.sectionError.empty() ? nlohmann::json() : nlohmann::json(f.sectionError)},
                        {"sections", nlohmann::json::array()}};
  for (const firmware::TreeSection& s : f.sections) doc["sections"].push_back(SectionJson(s, marks));
  return doc;
}

nlohmann::json VolumeJson(const firmware::TreeVolume& v, const Marks& marks) {
  nlohmann::json doc = {{"offset", Hex(v.offset)},
                        {"size", Hex(v.size)},
                        {"name", v.name ? nlohmann::json(firmware::GuidText(*v.name)) : nlohmann::json()},
                        {"fileSystem", firmware::GuidText(v.fileSystem)},
                        {"ffs", v.ffs},
                        {"base", v.base ? nlohmann::json(Hex(*v.base, 8)) : nlohmann::json()},
                        {"freeSpace", Hex(v.freeSpace)},
                        {"error", v.error.empty() ? nlohmann::json() : nlohmann::json(v.error)},
                        {"files", nlohmann::json::array()}};
  for (const firmware::TreeFile& f : v.files) doc["files"].push_back(FileJson(f, marks));
  return doc;
}

int RunFirmwareList(const FirmwareListOptions& o) {
  const std::vector<uint8_t> image = ReadFile(o.image, "firmware image", firmware::FLASH_ADDRESSABLE_SIZE);
  const firmware::FirmwareTree tree = firmware::ReadFirmwareTree(image);
  const std::optional<ModuleFile> shipped = FindShippedModule();
  Marks marks;
  for (const firmware::FirmwareModule& m : firmware::FindModulesInFirmware(
           image, shipped ? std::span<const uint8_t>(shipped->bytes) : std::span<const uint8_t>()))
    marks[m.fileIndex] = m.identicalToShipped;
  if (o.output.json) {
    nlohmann::json doc = {{"image", o.image}, {"size", image.size()}, {"volumes", nlohmann::json::array()}};
    for (const firmware::TreeVolume& v : tree.volumes) doc["volumes"].push_back(VolumeJson(v, marks));
    PrintJson(doc);
    return EXIT_PASS;
  }
  fmt::print("{}: {}, {} volumes at its top level\n", o.image, SizeText(image.size()), tree.volumes.size());
  TextTree text(marks);
  for (const firmware::TreeVolume& v : tree.volumes) text.Volume(v, 1);
  return EXIT_PASS;
}

}  // namespace

void SetupFirmwareList(CLI::App& group, Command& chosen) {
  auto o = std::make_shared<FirmwareListOptions>();
  CLI::App* list = group.add_subcommand(
      "list",
      "List the tree of a firmware image (a flash image, a BIOS region or a code file such as "
      "OVMF32_CODE_4M.secboot.fd): its firmware volumes (offset, name, size, free space, the address its PEIMs run "
      "at), their files (offset, GUID, type, name, size, a-priori) and sections, through LZMA-compressed and "
      "firmware-volume sections into nested volumes, with the address each PE32 runs at in place. A compression it "
      "cannot open is listed as such. Marks the module's copies: files named as the module, and PEIMs byte-identical "
      "to the shipped veriflash.efi once rebased back. Offsets count from the start of what holds them (the file, a "
      "file's data, a decompressed section). Exit status 0: listed; 2: unreadable file.");
  list->add_option("IMAGE", o->image, "Firmware or flash image")->required()->option_text("FILE");
  AddOutputOptions(*list, o->output);
  list->callback([o, &chosen] { chosen = [o] { return RunFirmwareList(*o); }; });
}

}  // namespace veriflash
