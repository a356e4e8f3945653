// One grammar for every command: parse errors in one line that names the
// word, options an engine would ignore refused, --help within 100 columns,
// -o - for stdout, output paths checked before the work, several images per
// call, error documents with --json, and -v's closing line.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();

// A scratch folder that goes when the test ends.
struct Scratch {
  tools_test::ScratchDir dir;
};

void ExpectRefused(const tools_test::ToolResult& r, const std::string& line) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, line + "\n");
}

struct RefusalCase {
  const char* args;
  const char* line;  // the whole of stderr
};

const RefusalCase kParseErrors[] = {
    {"run x.bin --engine 1", "veriflash: run: --engine: '1' is not one of: emulated, native, qemu"},
    {"run x.bin --engine warp", "veriflash: run: --engine: 'warp' is not one of: emulated, native, qemu"},
    {"run x.bin --trace-hub 0", "veriflash: run: --trace-hub: '0' is not one of: present, disabled, aperture-dead, absent"},
    {"run x.bin --tsc-hob yes", "veriflash: run: --tsc-hob: 'yes' is not one of: absent, present"},
    {"run x.bin --engine qemu --timeout abc", "veriflash: --timeout abc: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout 0", "veriflash: --timeout 0: not a number from 1 to 3600"},
    {"run x.bin --engine", "veriflash: run: --engine: needs a value"},
    {"run x.bin --engine native --engine qemu", "veriflash: run: --engine: given 2 times; give it once"},
    {"demo --engine qemu", "veriflash: demo: --engine: 'qemu' is not one of: emulated, native"},
    {"image create x.bin --fit-checksum 2", "veriflash: image create: --fit-checksum: '2' is not one of: valid, off, bad"},
    {"image create x.bin --seed abc", "veriflash: --seed abc: not a whole number from 0x0 to 0xFFFFFFFFFFFFFFFF"},
    {"image create x.bin --size 8XB",
     "veriflash: --size 8XB: not a size from 0x590000 to 0x1000000"},
    {"image create x.bin --no-module --module-at 0xFFE00000",
     "veriflash: image create: --module-at and --no-module cannot be given together"},
    {"image create x.bin --flash-size 32MiB", "veriflash: image create: --flash-size needs --descriptor"},
    {"image create", "veriflash: image create: give the image to write once, as OUT or as -o FILE"},
    {"image create a.bin -o b.bin", "veriflash: image create: give the image to write once, as OUT or as -o FILE"},
    {"image stamp x.bin", "veriflash: image stamp: give exactly one of: -o,--output,--in-place"},
    {"inspect", "veriflash: inspect: IMAGE is required"},
    {"inspect x.bin --bogus", "veriflash: inspect: --bogus: not an option or argument here"},
    {"package -o x.ffs", "veriflash: package: give the module once, as MODULE or as --module FILE"},
    {"package a.efi --module b.efi -o x.ffs", "veriflash: package: give the module once, as MODULE or as --module FILE"},
};

TEST(Grammar, ParseErrorsAreOneLineNamingTheWordAndWhatIsAccepted) {
  for (const RefusalCase& c : kParseErrors) {
    SCOPED_TRACE(c.args);
    ExpectRefused(Veriflash(c.args), c.line);
  }
}

const RefusalCase kUnused[] = {
    {"run --engine native --module x.efi x.bin",
     "veriflash: --module: not used with --engine native, which runs the host build of the module's logic"},
    {"run --engine native --timeout 5 --module x.efi x.bin",
     "veriflash: --module, --timeout: not used with --engine native, which runs the host build of the module's logic"},
    {"run --timeout 5 x.bin", "veriflash: --timeout: not used with --engine emulated, whose runs end by an instruction "
                              "budget"},
    {"run --engine qemu --trace --tsc-hob present x.bin",
     "veriflash: --tsc-hob, --trace: not used with --engine qemu, which boots the firmware and module the image holds "
     "on QEMU's own platform"},
    {"demo --engine native --module x.efi",
     "veriflash: --module: not used with --engine native, which runs the host build of the module's logic"},
};

// Refused before any file is read: x.bin and x.efi do not exist.
TEST(Grammar, OptionsTheEngineWouldIgnoreAreRefused) {
  for (const RefusalCase& c : kUnused) {
    SCOPED_TRACE(c.args);
    ExpectRefused(Veriflash(c.args), c.line);
  }
}

TEST(Grammar, HelpFitsInOneHundredColumnsWithOneLinePerCommand) {
  for (const char* command : {"", "demo", "image", "image create", "image stamp", "inspect", "package", "firmware",
                              "firmware add", "firmware extract", "run", "version"}) {
    SCOPED_TRACE(command);
    std::istringstream help(Veriflash(std::string(command) + " --help").out);
    for (std::string line; std::getline(help, line);) EXPECT_LE(line.size(), 100u) << line;
  }
  const std::string top = Veriflash("--help").out;
  EXPECT_NE(top.find("\nSubcommands:\n"
                     "  demo                                      Show the check at work on three images it builds\n"
                     "  image                                     Work with flash images\n"
                     "  inspect                                   Show whether the check passes on an image\n"
                     "  diff                                      Compare two flash images of the same size\n"
                     "  package                                   Wrap the module in a PI firmware file of type PEIM\n"
                     "  firmware                                  Work with PI firmware images (.fd)\n"
                     "  run                                       Run the module on an image\n"
                     "  version                                   Show the tool's version\n"),
            std::string::npos)
      << top;
  EXPECT_NE(Veriflash("inspect --help").out.find("\n  IMAGE FILE ... (required)  "), std::string::npos);
  EXPECT_NE(Veriflash("package --help").out.find("\n  -o,--output FILE.ffs (required)  "), std::string::npos);
  EXPECT_EQ(Veriflash("demo --help").out.find("qemu"), std::string::npos);
}

TEST(Grammar, DashOutputWritesTheFileToStdoutAndTheReportToStderr) {
  const Scratch s;
  const std::string image = s.dir + "/a.bin", wrong = s.dir + "/wrong.bin";
  ASSERT_EQ(Veriflash("image create " + image + " --seed 7").status, 0);
  ASSERT_EQ(Veriflash("image create " + wrong + " --digest wrong").status, 0);
  ASSERT_EQ(Veriflash("image stamp " + wrong + " -o " + s.dir + "/stamped.bin").status, 0);
  ASSERT_EQ(Veriflash("package " + kModule + " -o " + s.dir + "/m.ffs").status, 0);
  struct Case {
    std::string args, file, report;  // the file it must equal, the start of stderr
  } cases[] = {
      {"image create -o - --seed 7", image, "wrote -: 8 MiB"},
      {"image stamp " + wrong + " -o -", s.dir + "/stamped.bin", "stamped -: "},
      {"package --module " + kModule + " -o -", s.dir + "/m.ffs", "wrote -: PEIM "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = Veriflash(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tools_test::Bytes(r.out), tools_test::ReadBytes(c.file));
    EXPECT_EQ(r.err.rfind(c.report, 0), 0u) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists("-"));
}

// The output's folder is refused before the input is even read.
TEST(Grammar, OutputPathsAreCheckedBeforeTheWork) {
  const Scratch s;
  const std::string none = s.dir + "/none";
  const RefusalCase cases[] = {
      {"firmware add missing.fd -o NONE/x.fd", "veriflash: NONE/x.fd: cannot write into NONE: No such file or directory"},
      {"image stamp missing.bin -o NONE/x.bin", "veriflash: NONE/x.bin: cannot write into NONE: No such file or directory"},
      {"package --module missing.efi -o DIR", "veriflash: DIR: is a folder; give a file name"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.args);
    const auto paths = [&](std::string text) {
      text = std::regex_replace(text, std::regex("NONE"), none);
      return std::regex_replace(text, std::regex("DIR"), s.dir.path());
    };
    ExpectRefused(Veriflash(paths(c.args)), paths(c.line));
  }
}

TEST(Grammar, SeveralImagesAreReportedInTurnAndExitWithTheWorst) {
  const Scratch s;
  const std::string pass = s.dir + "/pass.bin", fail = s.dir + "/fail.bin", missing = s.dir + "/missing.bin";
  ASSERT_EQ(Veriflash("image create " + pass).status, 0);
  ASSERT_EQ(Veriflash("image create " + fail + " --digest wrong").status, 0);
  const std::string whyXml = "the region&apos;s digest differs from the manifest&apos;s reference digest: Security "
                             "Violation";
  const std::string refusal = missing + ": cannot open flash image: No such file or directory";
  for (const char* command : {"inspect", "run --engine native"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Veriflash(std::string(command) + " " + pass + " " + pass).status, 0);
    EXPECT_EQ(Veriflash(std::string(command) + " " + fail + " " + pass).status, 1);
    const auto r = Veriflash(std::string(command) + " --json-lines " + pass + " " + missing + " " + fail + " --junit " +
                             s.dir + "/junit.xml");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "veriflash: " + refusal + "\n");
    std::istringstream lines(r.out);
    std::vector<nlohmann::json> documents;
    for (std::string line; std::getline(lines, line);) documents.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(documents.size(), 3u) << r.out;
    EXPECT_EQ(documents[0]["verdict"], "pass");
    EXPECT_EQ(documents[1], nlohmann::json({{"schema", "veriflash/error/1"}, {"error", refusal}, {"file", missing},
                                            {"exitStatus", 2}}));
    EXPECT_EQ(documents[2]["verdict"], "fail");

    const auto xml = tools_test::ReadBytes(s.dir + "/junit.xml");
    const std::string suite = std::string("veriflash ") + (command[0] == 'i' ? "inspect" : "run");
    EXPECT_EQ(std::regex_replace(std::string(xml.begin(), xml.end()), std::regex("time=\"[0-9]+\\.[0-9]{3}\""), "T"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
              "  <testsuite name=\"" + suite + "\" tests=\"3\" failures=\"1\" errors=\"1\" T>\n"
              "    <testcase classname=\"" + suite + "\" name=\"" + pass + "\" T/>\n"
              "    <testcase classname=\"" + suite + "\" name=\"" + missing + "\" T>\n"
              "      <error message=\"" + refusal + "\">" + refusal + "</error>\n"
              "    </testcase>\n"
              "    <testcase classname=\"" + suite + "\" name=\"" + fail + "\" T>\n"
              "      <failure message=\"" + whyXml + "\">" + whyXml + "</failure>\n"
              "    </testcase>\n"
              "  </testsuite>\n</testsuites>\n");
  }
}

struct DocumentCase {
  const char* args;  // DIR: the scratch folder
  const char* error;
  bool namesFile;  // "file" is DIR/x.bin, else null
};

const DocumentCase kDocuments[] = {
    {"inspect --json DIR/x.bin", "DIR/x.bin: cannot open flash image: No such file or directory", true},
    {"run --json --engine native DIR/x.bin", "DIR/x.bin: cannot open flash image: No such file or directory", true},
    {"run --json --engine warp DIR/x.bin", "run: --engine: 'warp' is not one of: emulated, native, qemu", false},
    {"image create --json DIR/x.bin --tamper 0xFFD40000",
     "--tamper 0xFFD40000 lies outside the checked region 0xFFA70000-0xFFD3FFFF", false},
    {"inspect --json DIR/x.bin DIR/y.bin", "--json writes one document, for one image; give --json-lines for 2 images",
     false},
    {"image create -o - --json", "-o -: the file goes to stdout, so --json cannot; leave out one of them", false},
};

TEST(Grammar, RefusalsWithJsonPrintAnErrorDocument) {
  const Scratch s;
  for (const DocumentCase& c : kDocuments) {
    SCOPED_TRACE(c.args);
    const auto paths = [&](const std::string& text) { return std::regex_replace(text, std::regex("DIR"), s.dir.path()); };
    const auto r = Veriflash(paths(c.args));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "veriflash: " + paths(c.error) + "\n");
    const nlohmann::json file = c.namesFile ? nlohmann::json(s.dir + "/x.bin") : nlohmann::json(nullptr);
    EXPECT_EQ(r.Json(), nlohmann::json({{"schema", "veriflash/error/1"}, {"error", paths(c.error)}, {"file", file},
                                        {"exitStatus", 2}}));
  }
}

TEST(Grammar, VerboseEndsWithTheTimeAndTheExitStatus) {
  const Scratch s;
  const std::string pass = s.dir + "/pass.bin", fail = s.dir + "/fail.bin";
  const std::pair<std::string, int> cases[] = {
      {"image create -v " + pass, 0},
      {"image create -v " + fail + " --digest wrong", 0},
      {"inspect -v " + pass, 0},
      {"inspect -v " + fail, 1},
      {"run -v --engine native " + fail, 1},
      {"image stamp -v " + fail + " -o " + s.dir + "/stamped.bin", 0},
      {"package -v " + kModule + " -o " + s.dir + "/m.ffs", 0},
      {"inspect -v " + s.dir + "/missing.bin", 2},
  };
  for (const auto& [args, status] : cases) {
    SCOPED_TRACE(args);
    const auto r = Veriflash(args);
    EXPECT_EQ(r.status, status);
    const auto lines = r.ErrLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("veriflash: done in [0-9]+\\.[0-9]{2} s, exit status " +
                                                          std::to_string(status))))
        << lines.back();
  }
}

}  // namespace
