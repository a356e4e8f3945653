// What run and demo report beyond the verdict: the HOBs with the TSC
// frequency, the access log, the platform options, and the three-case demo.
#include <gtest/gtest.h>

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
    EXPECT_EQ(failed.Json()["postCodes"], nlohmann::json::array({"0x8F"}));
    const auto trace = failed.Json()["trace"];
    if (std::string(mode) == "present") {
      ASSERT_EQ(trace.size(), 1u);
      EXPECT_EQ(trace[0]["master"], 32);
      EXPECT_EQ(trace[0]["channel"], 14);
      EXPECT_EQ(trace[0]["text"], "TraceHub : POSTCODE=<8F>\r\n");
    } else {
      EXPECT_EQ(trace, nlohmann::json::array());  // nowhere to send it
    }
    const auto passed = Veriflash(std::string("run --engine native --json --trace-hub ") + mode + " " + Pass());
    EXPECT_EQ(passed.status, 0);
    EXPECT_EQ(passed.Json()["trace"], nlohmann::json::array());  // a pass sends nothing
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

}  // namespace
