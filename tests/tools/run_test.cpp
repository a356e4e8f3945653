// What run and demo report beyond the verdict: the HOBs with the TSC
// frequency, the access log, the platform options, and the three-case demo.
#include <gtest/gtest.h>

#include "common/hex.h"
#include "tests/support/pe_recipe.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

class RunReport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tools_test::ScratchDir;
    ASSERT_EQ(Veriflash("image create " + Pass()).status, 0);
    ASSERT_EQ(Veriflash("image create " + Fail() + " --digest wrong").status, 0);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string Pass() { return *dir_ + "/pass.bin"; }
  static std::string Fail() { return *dir_ + "/fail.bin"; }
  static tools_test::ScratchDir* dir_;
};
tools_test::ScratchDir* RunReport::dir_;

nlohmann::json TscHob(const nlohmann::json& run) {
  for (const auto& hob : run["hobs"])
    if (hob["what"] == "TSC frequency") return hob;
  return {};
}

TEST_F(RunReport, TheModulePublishesTheTscFrequencyOnlyWhenNoHobHoldsIt) {
  const auto measured = Veriflash("run --engine native --json " + Pass()).Json();
  const auto hob = TscHob(measured);
  EXPECT_EQ(hob["guid"], "dba6a7e3-bb57-4be7-8af8-d578db7e5687");
  EXPECT_EQ(hob["createdByModule"], true);
  // 2.4 GHz, measured over 1193 PIT clocks: within a thousandth.
  EXPECT_NEAR(hob["tscHz"].get<double>(), 2.4e9, 2.4e6);

  const auto preset = Veriflash("run --engine native --json --tsc-hob present " + Pass()).Json();
  EXPECT_EQ(TscHob(preset)["createdByModule"], false);
  EXPECT_EQ(TscHob(preset)["tscHz"], 1600000000u);
  EXPECT_EQ(preset["hobs"].size(), measured["hobs"].size());
}

TEST_F(RunReport, TraceListsTheAccessLogEndingInThePostCodeAndTheHalt) {
  const auto r = Veriflash("run --engine native --trace-hub absent --trace " + Fail());
  EXPECT_EQ(r.status, 1);
  const size_t log = r.out.find("\naccess log (");
  ASSERT_NE(log, std::string::npos) << r.out;
  const size_t post = r.out.find("  out16 port 0x80 <- 0x008F\n", log);
  const size_t halt = r.out.find("  halt\n", log);
  EXPECT_NE(post, std::string::npos);
  EXPECT_NE(halt, std::string::npos);
  EXPECT_LT(post, halt);
  EXPECT_NE(r.out.find("verdict  FAIL: POST code 0x8F on port 0x80, then the module halted\n"
                       "why      the region's digest differs from the manifest's reference digest: Security Violation\n"),
            std::string::npos)
      << r.out;
}

TEST_F(RunReport, EveryTraceHubModeEndsInTheSameVerdict) {
  for (const char* mode : {"present", "disabled", "aperture-dead", "absent"}) {
    SCOPED_TRACE(mode);
    const auto failed = Veriflash(std::string("run --engine native --json --trace-hub ") + mode + " " + Fail());
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.Json()["traceHub"], mode);
    EXPECT_EQ(failed.Json()["postCodes"]["runs"], nlohmann::json::parse(R"([{"value":"0x8F","first":0,"times":1}])"));
    const auto trace = failed.Json()["trace"]["runs"];
    if (std::string(mode) == "present") {
      ASSERT_EQ(trace.size(), 1u);
      EXPECT_EQ(trace[0]["value"]["master"], 32);
      EXPECT_EQ(trace[0]["value"]["channel"], 14);
      EXPECT_EQ(trace[0]["value"]["text"], "TraceHub : POSTCODE=<8F>\r\n");
    } else {
      EXPECT_EQ(trace, nlohmann::json::array());  // nowhere to send it
    }
    const auto passed = Veriflash(std::string("run --engine native --json --trace-hub ") + mode + " " + Pass());
    EXPECT_EQ(passed.status, 0);
    EXPECT_EQ(passed.Json()["trace"]["runs"], nlohmann::json::array());  // a pass sends nothing
  }
}

TEST(Demo, PassesStopsAtPostCode8FThenPassesTheStampedDumpOnTheRealBinary) {
  const auto r = Veriflash("demo");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  for (const char* line : {
           "=== 1. the default image ===\n",
           "verdict  PASS: the module lets the boot continue\n",
           "verdict  PASS: OnEndOfPei returned 0x00000000 (Success); the boot continues\n",
           "=== 2. the default image with bit 0 of the byte at 0xFFA82345 (offset 0x282345) flipped ===\n",
           "verdict  FAIL at digest: the region's digest differs from the manifest's reference digest: Security "
           "Violation\n",
           "POST     0x8F\ntrace    master 32 channel 14: \"TraceHub : POSTCODE=<8F>\\r\\n\"\n",
           "verdict  FAIL: POST code 0x8F on port 0x80, then the module halted\n",
           "=== 3. a full 16 MiB flash dump holding the default image with a wrong digest, stamped ===\n\n"
           "stamped: the region's digest written at 0xFFFD004C (BIOS offset 0x7D004C, file offset 0xFD004C); a signed "
           "manifest must be signed again after stamping",
           "  full flash dump: BIOS region 0x800000-0xFFFFFF (8 MiB) mapped at 0xFF800000-0xFFFFFFFF\n",
           "demo: as expected, the default image boots, the tampered one stops at POST code 0x8F, and the stamped full "
           "dump boots\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }
}

TEST(Demo, JsonHoldsTheThreeCasesWithInspectAndRun) {
  const auto r = Veriflash("demo --engine native --json");
  EXPECT_EQ(r.status, 0) << r.err;
  const auto doc = r.Json();
  EXPECT_EQ(doc["asExpected"], true);
  ASSERT_EQ(doc["cases"].size(), 3u);
  EXPECT_EQ(doc["cases"][0]["inspect"]["verdict"], "pass");
  EXPECT_EQ(doc["cases"][0]["run"]["verdict"], "pass");
  EXPECT_EQ(doc["cases"][1]["inspect"]["failure"]["step"], "digest");
  EXPECT_EQ(doc["cases"][1]["run"]["verdict"], "fail");
  EXPECT_EQ(doc["cases"][1]["run"]["engine"], "native");
  EXPECT_EQ(doc["cases"][2]["inspect"]["flash"]["descriptor"], true);
  EXPECT_EQ(doc["cases"][2]["stamp"]["at"]["offset"], "0xFD004C");
  EXPECT_EQ(doc["cases"][2]["run"]["verdict"], "pass");
}

// A module that never stops writing POST codes: the report lists them in
// runs, the first and the last 16 of them, whatever their number.
struct LoopingModule {
  const char* name;
  std::vector<uint8_t> code;
  bool counts;  // writes 0x01, 0x02, ... instead of one code
};

const LoopingModule kLoops[] = {
    {"one code", {0xB0, 0x55, 0xE6, 0x80, 0xEB, 0xFC}, false},              // mov al,0x55; out 0x80,al; jmp out
    {"counting", {0x31, 0xC0, 0xFE, 0xC0, 0xE6, 0x80, 0xEB, 0xFA}, true},  // xor eax,eax; inc al; out 0x80,al; jmp inc
};

std::string Code(uint64_t n) { return common::Hex(n & 0xFF, 2); }

TEST_F(RunReport, AModuleLoopingOnPort80GivesASmallReportOfRuns) {
  for (const LoopingModule& m : kLoops) {
    SCOPED_TRACE(m.name);
    test_support::PeRecipe recipe;
    recipe.code = m.code;
    recipe.relocations = {0x0000};
    const std::string module = *dir_ + "/loop.efi";
    tools_test::WriteBytes(module, test_support::BuildPe(recipe));
    const auto json = Veriflash("run --json --module " + module + " " + Pass());
    const auto text = Veriflash("run --module " + module + " " + Pass());
    ASSERT_EQ(json.status, 1) << json.err;
    const auto codes = json.Json()["postCodes"];
    const uint64_t total = codes["total"];
    ASSERT_GT(total, 10000u);
    EXPECT_LT(json.out.size(), 16384u);
    EXPECT_LT(text.out.size(), 16384u);
    std::string line;
    if (!m.counts) {
      EXPECT_EQ(codes["runs"], nlohmann::json::array({{{"value", "0x55"}, {"first", 0}, {"times", total}}}));
      EXPECT_EQ(codes["omitted"], nullptr);
      line = "0x55 ×" + std::to_string(total);
    } else {
      ASSERT_EQ(codes["runs"].size(), 32u);
      for (uint64_t i = 0; i < 32; ++i) {
        const uint64_t index = i < 16 ? i : total - 32 + i;
        EXPECT_EQ(codes["runs"][i], nlohmann::json({{"value", Code(index + 1)}, {"first", index}, {"times", 1}}));
        if (i == 16) line += " … " + std::to_string(total - 32) + " runs, " + std::to_string(total - 32) +
                             " items not shown …";
        line += (line.empty() ? "" : " ") + Code(index + 1);
      }
      EXPECT_EQ(codes["omitted"], nlohmann::json({{"at", 16}, {"runs", total - 32}, {"items", total - 32}}));
    }
    EXPECT_NE(text.out.find("\nPOST     " + line + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nverdict  FAIL: POST code " + line + " on port 0x80, then the module was stopped\n"),
              std::string::npos);
  }
}

}  // namespace
