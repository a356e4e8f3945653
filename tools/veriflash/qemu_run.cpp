#include "tools/veriflash/qemu_run.h"

#include <fmt/core.h>

#include "firmware/firmware_modules.h"
#include "firmware/pi_guid.h"
#include "runners/run_qemu.h"
#include "tools/veriflash/flash_analysis.h"
#include "tools/veriflash/flash_file.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/image_file.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/module_file.h"
#include "tools/veriflash/run_length.h"
#include "tools/veriflash/run_report.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

// The runner keeps the codes as runs already; of many, the first and the
// last are shown, as in every report.
RunSummary<uint8_t> PostCodeRuns(const runners::QemuOutcome& o) {
  RunSummary<uint8_t> summary;
  summary.total = o.postCodeCount;
  const size_t n = o.postCodes.size();
  uint64_t first = 0;
  for (size_t i = 0; i < n; first += o.postCodes[i].times, ++i) {
    if (i < SHOWN_RUNS || i + SHOWN_RUNS >= n) {
      summary.runs.push_back({o.postCodes[i].code, first, o.postCodes[i].times});
    } else {
      ++summary.omittedRuns;
      summary.omittedItems += o.postCodes[i].times;
    }
  }
  summary.omittedAt = std::min(n, SHOWN_RUNS);
  return summary;
}

std::string CodeHex(uint8_t code) { return Hex(code, 2); }

std::string PitText(const runners::QemuOutcome& o) {
  if (o.pitWrites.empty()) return "no write to ports 0x42, 0x43 or 0x61: the TSC measurement did not run";
  std::string text = fmt::format("{} writes:", o.pitWriteCount);
  for (const auto& w : o.pitWrites) text += fmt::format(" {}<-{}", Hex(w.port, 2), Hex(w.value, 2));
  return text + (o.pitWriteCount > o.pitWrites.size() ? " ..." : " (the TSC measurement ran)");
}

std::string StatusText(uint32_t status) { return fmt::format("{} ({})", Hex(status, 8), StatusName(status)); }

// One line per module: where it lies, where it ran, what its entry and its
// end-of-PEI check returned.
std::string EvidenceText(const firmware::FirmwareModule& m, const runners::ModuleEvidence& e,
                         const runners::WatchedModule& w) {
  std::string text = fmt::format("{} at {} ({})", m.uiName.empty() ? firmware::GuidText(m.file) : m.uiName,
                                 Hex(e.placedAt, 8), m.preMemory ? "before memory, in place" : "after memory");
  if (!e.ranAt) return text + ": its entry never ran";
  text += fmt::format(": entry reached at {}", Hex(*e.ranAt + w.entryRva, 8));
  if (*e.ranAt != e.placedAt) text += fmt::format(" (copied by the PEI core to {})", Hex(*e.ranAt, 8));
  text += e.entryStatus ? ", returned " + StatusText(*e.entryStatus) : ", never returned";
  if (!w.endOfPeiRva) return text + "; it registers no end-of-PEI callback";
  if (!e.endOfPeiEntered) return text + "; its end-of-PEI check never ran";
  return text + (e.endOfPeiStatus ? "; end-of-PEI check returned " + StatusText(*e.endOfPeiStatus)
                                  : "; end-of-PEI check never returned");
}

nlohmann::json EvidenceJson(const firmware::FirmwareModule& m, const runners::ModuleEvidence& e,
                            const runners::WatchedModule& w) {
  const auto address = [](const std::optional<uint32_t>& a) { return a ? nlohmann::json(Hex(*a, 8)) : nlohmann::json(); };
  return {{"file", firmware::GuidText(m.file)},
          {"name", m.uiName},
          {"preMemory", m.preMemory},
          {"placedAt", Hex(e.placedAt, 8)},
          {"ranAt", address(e.ranAt)},
          {"entryAddress", address(e.ranAt ? std::optional<uint32_t>(*e.ranAt + w.entryRva) : std::nullopt)},
          {"entryStatus", StatusJson(e.entryStatus)},
          {"endOfPeiAddress",
           address(e.ranAt && w.endOfPeiRva ? std::optional<uint32_t>(*e.ranAt + *w.endOfPeiRva) : std::nullopt)},
          {"endOfPeiEntered", e.endOfPeiEntered},
          {"endOfPeiStatus", StatusJson(e.endOfPeiStatus)}};
}

// The image's modules that can be watched, in the order the firmware walk finds them.
struct Watched {
  std::vector<firmware::FirmwareModule> found;
  std::vector<runners::WatchedModule> watched;
};

Watched ModulesToWatch(const std::vector<uint8_t>& image) {
  Watched w;
  const std::optional<ModuleFile> shipped = FindShippedModule();
  for (firmware::FirmwareModule& m : firmware::FindModulesInFirmware(
           image, shipped ? std::span<const uint8_t>(shipped->bytes) : std::span<const uint8_t>())) {
    if (!m.unusable.empty()) continue;  // cannot run, so it cannot be shown to have run
    try {
      w.watched.push_back(runners::WatchModule(m.pe32));
    } catch (const firmware::PeError&) {
      continue;
    }
    w.found.push_back(std::move(m));
  }
  return w;
}

nlohmann::json Json(const QemuRunOptions& options, const runners::QemuMachine& machine, const runners::QemuOutcome& o,
                    const Watched& modules) {
  nlohmann::json doc;
  doc["image"] = options.image;
  doc["engine"] = "qemu";
  doc["qemu"] = {{"program", machine.program}, {"smm", machine.smm}};
  doc["end"] = runners::QemuEndName(o.end);
  doc["postCodes"] = RunsJson(PostCodeRuns(o), CodeHex);
  doc["pitWrites"] = nlohmann::json::array();
  for (const auto& w : o.pitWrites) doc["pitWrites"].push_back({{"port", Hex(w.port, 2)}, {"value", Hex(w.value, 2)}});
  doc["pitWriteCount"] = o.pitWriteCount;
  doc["modules"] = nlohmann::json::array();
  for (size_t i = 0; i < o.modules.size(); ++i)
    doc["modules"].push_back(EvidenceJson(modules.found[i], o.modules[i], modules.watched[i]));
  doc["haltEips"] = nlohmann::json::array();
  for (uint32_t eip : o.haltEips) doc["haltEips"].push_back(Hex(eip, 8));
  doc["bootLine"] = o.bootLine;
  doc["serial"] = o.serial;
  doc["seconds"] = o.seconds;
  doc["exitStatus"] = o.exitStatus ? nlohmann::json(*o.exitStatus) : nlohmann::json();
  doc["pflash"] = {{"code", Hex(o.codeSize)}, {"lower", Hex(o.lowerSize)}};
  const runners::Verdict verdict = runners::VerdictOf(o);
  doc["verdict"] = runners::VerdictWord(verdict);
  doc["reason"] = verdict == runners::Verdict::Pass ? nlohmann::json() : nlohmann::json(runners::ReasonOf(o));
  if (verdict == runners::Verdict::NotRun) doc["error"] = fmt::format("{}: no verdict: {}", options.image, doc["reason"].get<std::string>());
  return doc;
}

void Print(const QemuRunOptions& options, const runners::QemuMachine& machine, const runners::QemuOutcome& o,
           const Watched& modules, const Analysis& analysis) {
  fmt::print("run      {} booted in {}: code part {} bytes as pflash 0, {} bytes below it as pflash 1 (fresh copy)\n",
             options.image, machine.program, Hex(o.codeSize), Hex(o.lowerSize));
  if (o.modules.empty()) fmt::print("module   none found in the image's firmware volumes: nothing could run the check\n");
  for (size_t i = 0; i < o.modules.size(); ++i)
    fmt::print("module   {}\n", EvidenceText(modules.found[i], o.modules[i], modules.watched[i]));
  fmt::print("PIT      {}\n", PitText(o));
  fmt::print("POST     {}\n", RunLine(PostCodeRuns(o), CodeHex));
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
    fmt::print("verdict  {}: past PEI to the boot manager without POST code 0x8F, the module's check having run\n",
               heading);
  else
    fmt::print("verdict  {}: {}\n", heading, runners::ReasonOf(o));
  if (verdict == runners::Verdict::Fail && o.end == runners::QemuEnd::Halted && !analysis.Passes())
    fmt::print("why      {}\n", FailureReason(analysis.steps.back()));
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
  const Watched modules = ModulesToWatch(image);
  runners::QemuOptions qemu;
  qemu.timeoutSeconds = options.timeoutSeconds;
  qemu.modules = modules.watched;
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
  // A run without a verdict still shows what QEMU showed, then fails as
  // unusable.
  if (options.output.json)
    PrintJson(Json(options, *qemu.machine, outcome, modules), options.output);
  else
    Print(options, *qemu.machine, outcome, modules, analysis);
  // The report stands for the run: a run without a verdict adds one line on
  // stderr, not a second document.
  const runners::Verdict verdict = runners::VerdictOf(outcome);
  if (verdict == runners::Verdict::NotRun) {
    fmt::print(stderr, "veriflash: {}: no verdict: {}\n", options.image, runners::ReasonOf(outcome));
    return EXIT_UNUSABLE;
  }
  return verdict == runners::Verdict::Pass ? EXIT_PASS : EXIT_FAIL;
}

}  // namespace veriflash
