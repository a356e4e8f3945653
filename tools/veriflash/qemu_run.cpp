#include "tools/veriflash/qemu_run.h"

#include <fmt/core.h>

#include "runners/run_qemu.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

std::string Codes(const runners::QemuOutcome& o) {
  std::string text;
  for (uint8_t code : o.postCodes) text += (text.empty() ? "" : " ") + Hex(code, 2);
  return text.empty() ? "none" : text;
}

std::string PitText(const runners::QemuOutcome& o) {
  if (o.pitWrites.empty()) return "no write to ports 0x42, 0x43 or 0x61: the TSC measurement did not run";
  std::string text = fmt::format("{} writes:", o.pitWrites.size());
  for (const auto& w : o.pitWrites) text += fmt::format(" {}<-{}", Hex(w.port, 2), Hex(w.value, 2));
  return text + " (the TSC measurement ran)";
}

std::string NoVerdict(const std::string& image, const runners::QemuOutcome& o, double timeout) {
  switch (o.end) {
    case runners::QemuEnd::TimedOut:
      return fmt::format("{}: no verdict: after {:.0f} s neither the boot manager nor POST code 0x8F with a halt", image,
                         timeout);
    case runners::QemuEnd::Exited: {
      const std::string first = o.qemuErrors.substr(0, o.qemuErrors.find('\n'));
      return fmt::format("{}: no verdict: QEMU exited with status {}{}", image, o.exitStatus.value_or(-1),
                         first.empty() ? std::string() : ": " + first);
    }
    default:
      return fmt::format("{}: no verdict: POST code 0x8F was written, yet the firmware went on to the boot manager",
                         image);
  }
}

nlohmann::json Json(const QemuRunOptions& options, const runners::QemuOutcome& o) {
  nlohmann::json doc;
  doc["image"] = options.image;
  doc["engine"] = "qemu";
  doc["end"] = runners::QemuEndName(o.end);
  doc["postCodes"] = nlohmann::json::array();
  for (uint8_t code : o.postCodes) doc["postCodes"].push_back(Hex(code, 2));
  doc["pitWrites"] = nlohmann::json::array();
  for (const auto& w : o.pitWrites) doc["pitWrites"].push_back({{"port", Hex(w.port, 2)}, {"value", Hex(w.value, 2)}});
  doc["haltEips"] = nlohmann::json::array();
  for (uint32_t eip : o.haltEips) doc["haltEips"].push_back(Hex(eip, 8));
  doc["bootLine"] = o.bootLine;
  doc["serial"] = o.serial;
  doc["seconds"] = o.seconds;
  doc["exitStatus"] = o.exitStatus ? nlohmann::json(*o.exitStatus) : nlohmann::json();
  doc["pflash"] = {{"code", Hex(o.codeSize)}, {"lower", Hex(o.lowerSize)}};
  doc["verdict"] = runners::VerdictWord(runners::VerdictOf(o));
  return doc;
}

void Print(const QemuRunOptions& options, const runners::QemuMachine& machine, const runners::QemuOutcome& o,
           const Analysis& analysis) {
  fmt::print("run      {} booted in {}: code part {} bytes as pflash 0, {} bytes below it as pflash 1 (fresh copy)\n",
             options.image, machine.program, Hex(o.codeSize), Hex(o.lowerSize));
  fmt::print("PIT      {}\n", PitText(o));
  fmt::print("POST     {}\n", Codes(o));
  if (!o.bootLine.empty()) fmt::print("serial   {}\n", o.bootLine);
  if (!o.haltEips.empty()) {
    std::string eips;
    for (uint32_t eip : o.haltEips) eips += " " + Hex(eip, 8);
    fmt::print("halt     EIP sampled at{}\n", eips);
  }
  fmt::print("time     {:.1f} s from QEMU's start to the verdict\n", o.seconds);
  const runners::Verdict verdict = runners::VerdictOf(o);
  const char* heading = runners::VerdictHeading(verdict);
  if (verdict == runners::Verdict::Pass)
    fmt::print("verdict  {}: past PEI to the boot manager without POST code 0x8F\n", heading);
  if (verdict == runners::Verdict::Fail) {
    fmt::print("verdict  {}: POST code 0x8F on port 0x80, then the halt loop\n", heading);
    if (!analysis.Passes()) fmt::print("why      {}\n", FailureReason(analysis.steps.back()));
  }
}

}  // namespace

int RunInQemu(const QemuRunOptions& options) {
  // QEMU's two flash units take the image as a BIOS region ending at 4 GiB.
  const FlashFile file = LoadFlashFile(options.image);
  if (file.layout.descriptor)
    throw ToolError(fmt::format("{}: a full flash dump; --engine qemu boots an image made by image create --firmware",
                                options.image));
  const std::vector<uint8_t>& image = file.window;
  const Analysis analysis = AnalyzeImage(image, file.layout);
  runners::QemuOptions qemu;
  qemu.timeoutSeconds = options.timeoutSeconds;
  runners::QemuOutcome outcome;
  try {
    // The code part decides the QEMU; RunQemu refuses an image without one.
    if (const std::optional<size_t> code = runners::CodePartOffset(image))
      qemu.machine = runners::QemuMachineFor(std::span(image).subspan(*code));
    Note(options.output, fmt::format("booting {} in {}, at most {:.0f} s", options.image,
                                     qemu.machine ? qemu.machine->program : "QEMU", qemu.timeoutSeconds));
    outcome = runners::RunQemu(image, qemu);
  } catch (const runners::QemuError& e) {
    throw ToolError(fmt::format("{}: cannot boot in QEMU: {}", options.image, e.what()));
  }
  const runners::Verdict verdict = runners::VerdictOf(outcome);
  if (verdict == runners::Verdict::NotRun) throw ToolError(NoVerdict(options.image, outcome, qemu.timeoutSeconds));
  if (options.output.json)
    PrintJson(Json(options, outcome));
  else
    Print(options, *qemu.machine, outcome, analysis);
  return verdict == runners::Verdict::Pass ? EXIT_PASS : EXIT_FAIL;
}

}  // namespace veriflash
