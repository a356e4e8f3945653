// veriflash package MODULE.efi -o FILE.ffs: wraps the module in a PEIM
// firmware file that a firmware build can put into its PEI volume.
#include <fmt/core.h>

#include "firmware/ffs_file.h"
#include "firmware/pi_guid.h"
#include "tools/veriflash/commands.h"
#include "tools/veriflash/firmware_insert.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct PackageOptions {
  std::string module;
  std::string out;
  firmware::PeimFileOptions peim;
  bool force = false;
  OutputOptions output;
};

int RunPackage(const PackageOptions& o) {
  RefuseJsonToStdout(o.out, o.output.json);
  CheckOutput(o.out, o.force);
  const ModuleFile module = LoadModule(o.module);
  const firmware::FfsFile file = firmware::MakePeimFile(module.bytes, o.peim);
  const std::vector<uint8_t> bytes = firmware::WriteFfsFile(file, true);
  WriteOutput(o.out, bytes, o.force);
  const uint32_t imageAt = file.HeaderSize() + firmware::PeimImageOffset(module.info.sectionAlignment);
  const uint32_t alignment = firmware::FfsDataAlignment(file.attributes);
  if (o.output.json) {
    PrintJson({{"written", o.out},
               {"guid", firmware::GuidText(file.name)},
               {"name", o.peim.uiName},
               {"size", file.Size()},
               {"imageOffset", Hex(imageAt)},
               {"sectionAlignment", module.info.sectionAlignment},
               {"dataAlignment", alignment}});
  } else {
    std::FILE* report = ReportStream(o.out);
    fmt::print(report, "wrote {}: PEIM {} \"{}\", {} bytes\n", o.out, firmware::GuidText(file.name), o.peim.uiName,
               file.Size());
    fmt::print(report, "  PE32 image at file offset {}, aligned to its section alignment {}; data alignment {}, data checksum\n",
               Hex(imageAt), Hex(module.info.sectionAlignment), Hex(alignment));
  }
  return EXIT_PASS;
}

}  // namespace

void SetupPackage(CLI::App& app, Command& chosen) {
  auto o = std::make_shared<PackageOptions>();
  CLI::App* package = app.add_subcommand(
      "package",
      "Wrap the module in a PI firmware file of type PEIM (0x06) for a firmware build's PEI volume. The file holds, "
      "in this order: a PEI dependency section that is always satisfied (TRUE, END); a RAW section that pads the "
      "PE32 image to the module's section alignment; the PE32 section with the module as given (a volume build "
      "rebases it to where it runs); a user-interface section with the name \"veriflash\". Its header checksum is "
      "set, its data checksum too (attribute 0x40), and its data alignment attribute keeps the image aligned. The "
      "file is written for a volume whose erased bytes are 0xFF. Exit status 0: written; 2: unusable module or "
      "usage.");
  package->add_option("MODULE", o->module, "The module (veriflash.efi). Required, here or as --module")->option_text("FILE");
  package->add_option("--module", o->module, "The same as MODULE; give one of the two")->option_text("FILE");
  package->add_option("-o,--output", o->out, "Firmware file to write (atomically); - writes it to stdout")
      ->required()
      ->option_text("FILE.ffs");
  AddGuidOption(*package, o->peim.name);
  package->add_flag("-f,--force", o->force, "Replace the output file if it exists");
  AddOutputOptions(*package, o->output);
  package->callback([o, package, &chosen] {
    if (package->count("MODULE") + package->count("--module") != 1)
      throw ToolError("package: give the module once, as MODULE or as --module FILE");
    chosen = [o] { return RunPackage(*o); };
  });
}

}  // namespace veriflash
