// veriflash image stamp IMAGE -o OUT | --in-place: writes the region's digest
// into the manifest's reference digest, once the region's last byte is final.
#include <fmt/core.h>

#include "tools/veriflash/commands.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/output_file.h"
#include "tools/veriflash/output_options.h"
#include "tools/veriflash/stamp.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

struct ImageStampOptions {
  std::string image;
  std::string out;
  bool inPlace = false;
  bool force = false;
  bool allowOverlap = false;
  OutputOptions output;
};

int RunImageStamp(const ImageStampOptions& o) {
  const std::string out = o.inPlace ? o.image : o.out;
  RefuseJsonToStdout(out, o.output.json);
  if (!o.inPlace) CheckOutput(out, o.force);
  FlashFile file = LoadFlashFile(o.image);
  const Stamp stamp = StampReferenceDigest(file, o.allowOverlap);
  if (o.inPlace)
    ReplaceFileInPlace(out, file.bytes);
  else
    WriteOutput(out, file.bytes, o.force);
  Note(o.output, fmt::format("wrote {} ({} bytes)", out, file.bytes.size()));

  const Analysis& analysis = stamp.stamped;
  const bool changed = stamp.before != stamp.after;
  if (o.output.json) {
    nlohmann::json doc = InspectJson(Inspected(out, file.window, analysis));
    doc["written"] = out;
    doc["stamp"] = {{"at", WhereJson(file.layout, stamp.at)},
                    {"before", common::HexDigest(stamp.before)},
                    {"after", common::HexDigest(stamp.after)},
                    {"changed", changed},
                    {"note", RESIGN_NOTE}};
    PrintJson(doc);
  } else {
    std::FILE* report = ReportStream(out);
    fmt::print(report, "stamped {}: the region's digest written at {}{}\n", out, Where(file.layout, stamp.at),
               changed ? "" : ", which held it already");
    fmt::print(report, "  digest  {}\n", common::HexDigest(stamp.after));
    if (changed) fmt::print(report, "  was     {}\n", common::HexDigest(stamp.before));
    fmt::print(report, "the check passes\nnote: {}\n", RESIGN_NOTE);
  }
  return EXIT_PASS;
}

}  // namespace

void SetupImageStamp(CLI::App& image, Command& chosen) {
  auto o = std::make_shared<ImageStampOptions>();
  CLI::App* stamp = image.add_subcommand(
      "stamp",
      "Write the SHA-256 of the checked region 0xFFA70000-0xFFD3FFFF, as the image maps it, into the boot policy "
      "manifest's reference digest (manifest + 0x4C); no other byte changes. Run it once the region's last byte is "
      "final. Refuses an image without a usable FIT or manifest, or whose reference digest would lie inside the "
      "checked region or run past 4 GiB, and one on which the check would still fail. A signed manifest must be signed "
      "again afterwards. Exit status 0: stamped, and the check passes; 2: unusable image, or one that cannot be "
      "stamped (nothing is written).");
  stamp->add_option("IMAGE", o->image, IMAGE_ARGUMENT_HELP)->required()->option_text("FILE");
  CLI::Option_group* target = stamp->add_option_group("where", "Where the stamped image goes: one of");
  target->add_option("-o,--output", o->out, "Write the stamped image to OUT (atomically); - writes it to stdout")->option_text("OUT");
  target->add_flag("--in-place", o->inPlace,
                   "Replace IMAGE by the stamped image (atomically), keeping its mode, owner and group. Refuses a "
                   "symbolic link, a file with other hard links, and a file you may not write (as root too: one "
                   "without any write permission bit, such as 0444)");
  target->require_option(1);
  stamp->add_flag("-f,--force", o->force, "Replace OUT if it exists")->excludes("--in-place");
  stamp->add_flag("--allow-overlap", o->allowOverlap,
                  "Write the digest even where the flash descriptor gives its bytes to another region as well (the "
                  "ME region, say); without it such an image is refused");
  AddOutputOptions(*stamp, o->output);
  stamp->callback([o, &chosen] { chosen = [o] { return RunImageStamp(*o); }; });
}

}  // namespace veriflash
