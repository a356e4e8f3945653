#include "tools/veriflash/run_report.h"

#include <fmt/core.h>

#include <cstring>

#include "tools/veriflash/flash_text.h"
#include "tools/veriflash/inspect_report.h"
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

std::string PostCodes(const runners::Outcome& o) {
  std::string text;
  for (uint8_t code : o.postCodes) text += (text.empty() ? "" : " ") + Hex(code, 2);
  return text.empty() ? "none" : text;
}

std::string RunLine(const RunSubject& s) {
  const std::string engine = s.module ? DescribeModule(s.image, *s.module) + ", emulated"
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
  doc["module"] = s.module ? ModuleJson(s.image, *s.module) : nlohmann::json();
  doc["traceHub"] = TraceHubName(s.platform.traceHub);
  doc["tscHobBefore"] = s.platform.tscHob;
  doc["entryStatus"] = nullptr;
  if (o.entryStatus) doc["entryStatus"] = {{"value", Hex(*o.entryStatus, 8)}, {"name", StatusName(*o.entryStatus)}};
  doc["endOfPeiStatus"] = nullptr;
  if (o.endOfPeiStatus) doc["endOfPeiStatus"] = {{"value", Hex(*o.endOfPeiStatus, 8)}, {"name", StatusName(*o.endOfPeiStatus)}};
  doc["halted"] = o.halted;
  doc["stopped"] = o.stopped;
  doc["end"] = o.endDetail.empty() ? nlohmann::json() : nlohmann::json(o.endDetail);
  doc["postCodes"] = nlohmann::json::array();
  for (uint8_t code : o.postCodes) doc["postCodes"].push_back(Hex(code, 2));
  doc["hobs"] = nlohmann::json::array();
  for (const HobView& h : Hobs(o)) {
    nlohmann::json hob = {{"address", Hex(h.address, 8)}, {"what", h.what}, {"createdByModule", h.createdByModule}};
    if (h.guid) hob["guid"] = vplat::FormatGuid(*h.guid);
    if (h.tscHz) hob["tscHz"] = *h.tscHz;
    doc["hobs"].push_back(hob);
  }
  const vplat::TraceDecodeResult trace = vplat::DecodeTrace(o.log);
  doc["trace"] = nlohmann::json::array();
  for (const auto& m : trace.messages)
    doc["trace"].push_back({{"master", m.master}, {"channel", m.channel}, {"text", m.text}, {"rendered", vplat::RenderMessage(m)}});
  doc["traceErrors"] = nlohmann::json::array();
  for (const auto& e : trace.errors) doc["traceErrors"].push_back(vplat::Describe(e));
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
  if (s.accessLog) {
    doc["accessLog"] = nlohmann::json::array();
    for (const auto& a : o.log) doc["accessLog"].push_back(vplat::Describe(a));
  }
  return doc;
}

void PrintRun(const RunSubject& s, bool verbose) {
  const runners::Outcome& o = s.run.outcome;
  fmt::print("run      {}\n", RunLine(s));
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
  for (const auto& m : trace.messages) fmt::print("trace    {}\n", vplat::RenderMessage(m));
  for (const auto& e : trace.errors) fmt::print("trace    undecodable: {}\n", vplat::Describe(e));
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
    for (size_t i = 0; i < o.log.size(); ++i) fmt::print("  {:>5}  {}\n", i, vplat::Describe(o.log[i]));
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

}  // namespace veriflash
