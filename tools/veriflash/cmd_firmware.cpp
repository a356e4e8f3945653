// veriflash firmware add FIRMWARE.fd -o OUT.fd: puts the module into a
// firmware image's PEI volume, ready to boot. `firmware list` and
// `firmware extract` live in cmd_firmware_list.cpp and cmd_firmware_extract.cpp.
#include <fmt/core.h>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/firmware_insert.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct FirmwareAddOptions {
  std::string firmware;
  std::string out;
  std::string module;  // empty: veriflash.efi beside the tool
  bool noModule = false;
  bool preMemory = false;
  firmware::PeimFileOptions peim;
  bool force = false;
  OutputOptions output;
};

int RunFirmwareAdd(const FirmwareAddOptions& o) {
  RefuseJsonToStdout(o.out, o.output.json);
  CheckOutput(o.out, o.force);
  const std::vector<uint8_t> image = LoadCodePart(o.firmware, "firmware image");
  Note(o.output, fmt::format("looking for the PEI volume in {}", o.firmware));
  const firmware::InsertResult result = InsertModule(o.firmware, image, o.noModule ? std::nullopt : std::optional(o.module),
                                                     o.peim, o.preMemory);
  WriteOutput(o.out, result.image, o.force);
  if (o.output.json) {
    nlohmann::json doc = InsertJson(result.report);
    doc["written"] = o.out;
    PrintJson(doc);
  } else {
    std::FILE* report = ReportStream(o.out);
    fmt::print(report, "wrote {}: {}\n", o.out,
               o.noModule ? "rebuilt, nothing added"
                          : o.preMemory ? "module added, dispatched before memory (a-priori)"
                                        : "module added, dispatched after memory");
    for (const std::string& line : InsertLines(result.report)) fmt::print(report, "  {}\n", line);
  }
  return EXIT_PASS;
}

}  // namespace

void SetupFirmware(CLI::App& app, Command& chosen) {
  CLI::App* group = app.add_subcommand("firmware", "Work with PI firmware images (.fd)");
  group->require_subcommand(1);
  auto o = std::make_shared<FirmwareAddOptions>();
  CLI::App* add = group->add_subcommand(
      "add",
      "Add the module to the PEI volume of a firmware image: the volume that holds the PEI core, also inside an "
      "LZMA-compressed section (as in OVMF: FVMAIN_COMPACT > LZMA section > PEIFV). The module's PEIM file (see "
      "`package`) goes into the volume's free space with its image rebased to the address it runs at, which the "
      "other PEIMs' image bases give; every checksum is fixed, the compressed stream is recompressed with its "
      "original properties, and every enclosing file and volume keeps its size. Without --pre-memory the PEI core "
      "dispatches the module after permanent memory is installed and copies it there first; with it, the module is "
      "listed in the volume's a-priori file and runs in place before memory: the original a-priori file is turned "
      "into a pad file of the same size, so no file that runs in place moves, and a new one holding the old list "
      "and then the module is written at the end of the volume. Tried with Debian's OVMF32_CODE_4M.secboot.fd "
      "(ovmf-ia32) and OVMF_CODE_4M.fd, OVMF_CODE_4M.secboot.fd, OVMF_CODE_4M.ms.fd (ovmf); the 2 MiB "
      "OVMF_CODE.fd and OVMF_CODE.secboot.fd have an x86-64 PEI phase, where the IA-32 module cannot run, and are "
      "refused. Exit status 0: written; 2: no PEI volume, a PEI phase that is not IA-32, a damaged volume (named "
      "with its offset and the field at fault), not enough free space, a recompressed stream that outgrows its "
      "room, an unusable module, or usage.");
  add->add_option("FIRMWARE", o->firmware, "Firmware image, e.g. OVMF_CODE_4M.fd or OVMF32_CODE_4M.secboot.fd")->required()->option_text("FILE");
  add->add_option("-o,--output", o->out, "Firmware image to write (atomically); - writes it to stdout")->required()->option_text("FILE");
  add->add_option("--module", o->module, "Module to add (default: the veriflash.efi this program ships)")->option_text("FILE");
  add->add_flag("--no-module", o->noModule,
                "Add nothing: rebuild the volumes and recompress, to check that the round trip keeps the firmware "
                "bootable")
      ->excludes("--module");
  add->add_flag("--pre-memory", o->preMemory,
                "List the module in the PEI a-priori file, so it runs in place before permanent memory")
      ->excludes("--no-module");
  AddGuidOption(*add, o->peim.name);
  add->add_flag("-f,--force", o->force, "Replace the output file if it exists");
  AddOutputOptions(*add, o->output);
  add->callback([o, &chosen] { chosen = [o] { return RunFirmwareAdd(*o); }; });
  SetupFirmwareList(*group, chosen);
  SetupFirmwareExtract(*group, chosen);
}

}  // namespace veriflash
