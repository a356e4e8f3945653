#include "tools/veriflash/run_report.h"

#include <fmt/core.h>

#include <cstring>

#include "tools/veriflash/flash_layout_report.h"
#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
#include "tools/veriflash/run_length.h"
#include "tools/veriflash/tool_error.h"
#include "vplat/devices/pit8254.h"
#include "vplat/devices/trace_decoder.h"

namespace veriflash {
namespace {

constexpr size_t GUID_HOB_NAME_AT = 8;  // after the 8-byte generic HOB header
constexpr size_t GUID_HOB_DATA_AT = GUID_HOB_NAME_AT + sizeof(EFI_GUID);

struct HobView {
  uint32_t address;
  std::string what;
  std::optional<EFI_GUID> guid;
  std::optional<uint64_t> tscHz;
  bool createdByModule;
};

bool CreatedByModule(const runners::Outcome& o, uint32_t address) {
  for (const auto& a : o.log)
    if (a.kind == vplat::AccessKind::Service && a.service == vplat::PeiService::CreateHob && a.value == EFI_SUCCESS && a.args.size() == 4 &&
        a.args[3] == address)
      return true;
  return false;
}

std::vector<HobView> Hobs(const runners::Outcome& o) {
  std::vector<HobView> hobs;
  for (const vplat::Hob& h : o.hobs) {
    HobView v{h.address, fmt::format("type {}", Hex(h.type, 4)), std::nullopt, std::nullopt, CreatedByModule(o, h.address)};
    if (h.type == 0x0001) v.what = "PHIT";
    if (h.type == EFI_HOB_TYPE_GUID_EXTENSION && h.bytes.size() >= GUID_HOB_DATA_AT) {
      EFI_GUID guid;
      std::memcpy(&guid, h.bytes.data() + GUID_HOB_NAME_AT, sizeof guid);
      v.guid = guid;
      v.what = "GUID extension";
      if (std::memcmp(&guid, &vplat::TSC_FREQUENCY_HOB_GUID, sizeof guid) == 0 && h.bytes.size() >= GUID_HOB_DATA_AT + 8) {
        uint64_t hz;
        std::memcpy(&hz, h.bytes.data() + GUID_HOB_DATA_AT, sizeof hz);
        v.tscHz = hz;
        v.what = "TSC frequency";
      }
    }
    hobs.push_back(std::move(v));
  }
  return hobs;
}

// The access log of a run lists every access; most of its runs are distinct
// in a run that ends, so it keeps more of them than a list of facts does.
constexpr size_t ACCESS_LOG_SHOWN_RUNS = 1024;

std::string CodeText(uint8_t code) { return Hex(code, 2); }

auto PostCodeRuns(const runners::Outcome& o) {
  return Summarize(o.postCodes, [](uint8_t code) { return code; });
}

std::string PostCodes(const runners::Outcome& o) { return RunLine(PostCodeRuns(o), CodeText); }

auto AccessRuns(const runners::Outcome& o) {
  return Summarize(o.log, [](const vplat::Access& a) { return vplat::Describe(a); }, ACCESS_LOG_SHOWN_RUNS);
}

auto TraceRuns(const vplat::TraceDecodeResult& trace) {
  return Summarize(trace.messages, [](const vplat::TraceMessage& m) -> nlohmann::json {
    return {{"master", m.master}, {"channel", m.channel}, {"text", m.text}, {"rendered", vplat::RenderMessage(m)}};
  });
}

auto TraceErrorRuns(const vplat::TraceDecodeResult& trace) {
  return Summarize(trace.errors, [](const vplat::TraceDecodeError& e) { return vplat::Describe(e); });
}

// For lists whose values are already what the report shows.
constexpr auto SAME = [](const auto& value) { return value; };

std::string RunLine(const RunSubject& s) {
  const std::string engine = s.module ? DescribeModule(s.analysis.layout, *s.module) + ", emulated"
                                      : std::string("the host build of the module, native");
  return fmt::format("{} on {}; {}", s.name, engine, DescribePlatform(s.platform));
}

}  // namespace

std::string RunReason(const RunSubject& s) {
  const runners::Outcome& o = s.run.outcome;
  switch (runners::VerdictOf(o)) {
    case runners::Verdict::Pass:
      return "";
    case runners::Verdict::NotRun:
      if (o.entryStatus && EfiError(*o.entryStatus))
        return fmt::format("ModuleEntry returned {} ({}): the End-of-PEI check was never registered",
                           Hex(*o.entryStatus, 8), StatusName(*o.entryStatus));
      return "the module never registered its End-of-PEI notification, so the check never runs";
    case runners::Verdict::Fail:
      if (o.stopped) return "the module was stopped: " + o.endDetail;
      // The analysis knows why the shipped logic fails the image; a module
      // that halts on an image the analysis passes halts for its own reasons.
      if (!s.analysis.Passes()) return FailureReason(s.analysis.steps.back());
      return "the module halted " + (o.endDetail.empty() ? std::string("although the analysis passes the image")
                                                          : o.endDetail);
  }
  return "";
}

nlohmann::json RunJson(const RunSubject& s) {
  const runners::Outcome& o = s.run.outcome;
  nlohmann::json doc;
  doc["image"] = s.name;
  doc["engine"] = EngineName(s.platform.engine);
  doc["ran"] = true;
  doc["flash"] = FlashLayoutJson(s.analysis.layout);
  doc["module"] = s.module ? ModuleJson(s.analysis.layout, *s.module) : nlohmann::json();
  doc["traceHub"] = TraceHubName(s.platform.traceHub);
  doc["tscHobBefore"] = s.platform.tscHob;
  doc["entryStatus"] = StatusJson(o.entryStatus);
  doc["endOfPeiStatus"] = StatusJson(o.endOfPeiStatus);
  doc["halted"] = o.halted;
  doc["stopped"] = o.stopped;
  doc["end"] = o.endDetail.empty() ? nlohmann::json() : nlohmann::json(o.endDetail);
  doc["postCodes"] = RunsJson(PostCodeRuns(o), CodeText);
  doc["hobs"] = nlohmann::json::array();
  for (const HobView& h : Hobs(o)) {
    nlohmann::json hob = {{"address", Hex(h.address, 8)}, {"what", h.what}, {"createdByModule", h.createdByModule}};
    if (h.guid) hob["guid"] = vplat::FormatGuid(*h.guid);
    if (h.tscHz) hob["tscHz"] = *h.tscHz;
    doc["hobs"].push_back(hob);
  }
  const vplat::TraceDecodeResult trace = vplat::DecodeTrace(o.log);
  doc["trace"] = RunsJson(TraceRuns(trace), SAME);
  doc["traceErrors"] = RunsJson(TraceErrorRuns(trace), SAME);
  const runners::Verdict verdict = runners::VerdictOf(o);
  doc["verdict"] = runners::VerdictWord(verdict);
  doc["reason"] = verdict == runners::Verdict::Pass ? nlohmann::json() : nlohmann::json(RunReason(s));
  doc["figures"] = {{"seconds", s.run.seconds}};
  if (s.run.figures) {
    doc["figures"]["entryInstructions"] = s.run.figures->entryInstructions;
    doc["figures"]["endOfPeiInstructions"] = s.run.figures->endOfPeiInstructions;
    doc["figures"]["entryStackBytes"] = s.run.figures->entryStack;
    doc["figures"]["endOfPeiStackBytes"] = s.run.figures->endOfPeiStack;
  }
  if (s.accessLog) doc["accessLog"] = RunsJson(AccessRuns(o), SAME);
  return doc;
}

void PrintRun(const RunSubject& s, bool verbose) {
  const runners::Outcome& o = s.run.outcome;
  fmt::print("run      {}\n", RunLine(s));
  fmt::print("flash    {}\n", DescribeFlashLayout(s.analysis.layout));
  if (o.entryStatus)
    fmt::print("entry    ModuleEntry returned {} ({})\n", Hex(*o.entryStatus, 8), StatusName(*o.entryStatus));
  else
    fmt::print("entry    ModuleEntry did not return\n");
  for (const HobView& h : Hobs(o)) {
    std::string text = fmt::format("HOB      {}  {}", Hex(h.address, 8), h.what);
    if (h.guid) text += " " + vplat::FormatGuid(*h.guid);
    if (h.tscHz) text += fmt::format(": {} Hz", *h.tscHz);
    if (h.createdByModule) text += " (created by the module)";
    fmt::print("{}\n", text);
  }
  fmt::print("POST     {}\n", PostCodes(o));
  const vplat::TraceDecodeResult trace = vplat::DecodeTrace(o.log);
  if (trace.messages.empty() && trace.errors.empty()) fmt::print("trace    no message\n");
  const auto rendered = [](const nlohmann::json& m) { return m["rendered"].get<std::string>(); };
  for (const std::string& line : RunTexts(TraceRuns(trace), rendered)) fmt::print("trace    {}\n", line);
  for (const std::string& line : RunTexts(TraceErrorRuns(trace), SAME))
    fmt::print("trace    undecodable: {}\n", line);
  if (verbose) {
    std::string cost = fmt::format("{:.3f} s", s.run.seconds);
    if (s.run.figures)
      cost += fmt::format("; {} instructions in ModuleEntry, {} at end of PEI; stack {} and {} bytes",
                          s.run.figures->entryInstructions, s.run.figures->endOfPeiInstructions,
                          s.run.figures->entryStack, s.run.figures->endOfPeiStack);
    fmt::print("cost     {}\n", cost);
  }
  if (s.accessLog) {
    fmt::print("\naccess log ({} entries)\n", o.log.size());
    const auto runs = AccessRuns(o);
    for (size_t i = 0; i < runs.runs.size(); ++i) {
      if (i == runs.omittedAt && runs.omittedRuns > 0)
        fmt::print("         {}\n", OmittedText(runs.omittedRuns, runs.omittedItems));
      const auto& run = runs.runs[i];
      fmt::print("  {:>5}  {}{}\n", run.first, run.value, run.times > 1 ? fmt::format(" ×{}", run.times) : "");
    }
    fmt::print("\n");
  }
  const runners::Verdict verdict = runners::VerdictOf(o);
  const char* heading = runners::VerdictHeading(verdict);
  switch (verdict) {
    case runners::Verdict::Fail: {
      const std::string post =
          o.postCodes.empty() ? std::string() : fmt::format("POST code {} on port 0x80, then ", PostCodes(o));
      fmt::print("verdict  {}: {}the module {}\n", heading, post, o.stopped ? "was stopped" : "halted");
      fmt::print("why      {}\n", RunReason(s));
      break;
    }
    case runners::Verdict::Pass:
      fmt::print("verdict  {}: OnEndOfPei returned {} ({}); the boot continues\n", heading, Hex(*o.endOfPeiStatus, 8),
                 StatusName(*o.endOfPeiStatus));
      break;
    case runners::Verdict::NotRun:
      fmt::print("verdict  {}: {}\n", heading, RunReason(s));
      break;
  }
}

nlohmann::json StatusJson(const std::optional<uint32_t>& status) {
  if (!status) return nullptr;
  return {{"value", Hex(*status, 8)}, {"name", StatusName(*status)}};
}

}  // namespace veriflash
