// Inputs the tool cannot use: each ends with exit status 2 and one line on
// stderr naming the file, never a crash and never a verdict.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "image_patch.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

const std::string kModule = (std::filesystem::path(VERIFLASH_TOOL).parent_path() / "veriflash.efi").string();

void ExpectUnusable(const tools_test::ToolResult& r, const std::string& file, const std::string& reason) {
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.out.empty()) << r.out;
  const auto lines = r.ErrLines();
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_EQ(lines[0].rfind("veriflash: " + file + ": ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
}

struct ImageFileCase {
  const char* name;
  int64_t size;  // -1: no file; -2: a directory
  const char* reason;
};

const ImageFileCase kImageFiles[] = {
    {"missing", -1, "cannot open flash image: No such file or directory"},
    {"directory", -2, "not a regular file"},
    {"empty", 0, "0 bytes: empty, not a flash image"},
    {"truncated", (8 << 20) - 0x100, "8388352 bytes (0x7FFF00) is not a multiple of 4 KiB: truncated, or not a flash image"},
    {"one page too many", (8 << 20) + 0x1001, "is not a multiple of 4 KiB"},
    {"more than a descriptor addresses", (128 << 20) + 0x1000,
     "134221824 bytes (0x8001000) is more than the 128 MiB a flash descriptor can address"},
};

TEST(BadInput, UnusableImagesAreRefusedByInspectAndRun) {
  const tools_test::ScratchDir dir;
  for (const ImageFileCase& c : kImageFiles) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/image";
    std::filesystem::remove_all(path);
    if (c.size == -2) std::filesystem::create_directory(path);
    if (c.size >= 0) {
      tools_test::WriteBytes(path, {});
      std::filesystem::resize_file(path, static_cast<uintmax_t>(c.size));
    }
    ExpectUnusable(Veriflash("inspect " + path), path, c.reason);
    ExpectUnusable(Veriflash("run --engine native " + path), path, c.reason);
  }
}

struct ModuleCase {
  const char* name;
  void (*spoil)(std::vector<uint8_t>&);
  const char* reason;
};

const ModuleCase kModules[] = {
    {"text file", [](std::vector<uint8_t>& m) { m.assign({'h', 'e', 'l', 'l', 'o', '\n'}); },
     "not a usable module: not a PE image: no MZ signature"},
    {"cut after the DOS header", [](std::vector<uint8_t>& m) { m.resize(0x40); }, "not a usable module: file truncated"},
    {"x64 machine", [](std::vector<uint8_t>& m) {
       const size_t pe = m[0x3C] | m[0x3D] << 8;
       m[pe + 4] = 0x64;
       m[pe + 5] = 0x86;
     },
     "not a usable module: machine 0x8664 is not i386"},
};

TEST(BadInput, ForeignOrCorruptModulesAreRefused) {
  const tools_test::ScratchDir dir;
  ASSERT_EQ(Veriflash("image create " + dir + "/image.bin").status, 0);
  for (const ModuleCase& c : kModules) {
    SCOPED_TRACE(c.name);
    auto bytes = tools_test::ReadBytes(kModule);
    c.spoil(bytes);
    const std::string path = dir + "/module.efi";
    tools_test::WriteBytes(path, bytes);
    ExpectUnusable(Veriflash("image create " + dir + "/new.bin --module " + path), path, c.reason);
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.bin"));
    ExpectUnusable(Veriflash("run " + dir + "/image.bin --module " + path), path, c.reason);
  }
}

TEST(BadInput, TheEmulatedModuleMayNotCoverTheFit) {
  const tools_test::ScratchDir dir;
  ASSERT_EQ(Veriflash("image create --no-module --fit 0xFFD40100 " + dir + "/a.bin").status, 0);
  ExpectUnusable(Veriflash("run " + dir + "/a.bin"), dir + "/a.bin",
                 "cannot place " + kModule + ": the module at 0xFFD40000 would overlap the FIT at 0xFFD40100");
  EXPECT_EQ(Veriflash("run --engine native " + dir + "/a.bin").status, 0);
}

TEST(BadInput, WithoutAShippedModuleEmulationSuggestsTheNativeEngine) {
  const tools_test::ScratchDir dir;
  const std::string tool = dir + "/veriflash";
  std::filesystem::copy_file(VERIFLASH_TOOL, tool);
  // Nor where an installed tool finds it: <prefix>/share/veriflash.
  const std::string installed = std::filesystem::path(dir.path()).parent_path().string() + "/share/veriflash/veriflash.efi";
  ASSERT_EQ(Veriflash("image create --no-module " + dir + "/a.bin").status, 0);
  const std::string run = tool + " run " + dir + "/a.bin >" + dir + "/out 2>" + dir + "/err";
  EXPECT_EQ(WEXITSTATUS(std::system(run.c_str())), 2);
  EXPECT_EQ(tools_test::ReadBytes(dir + "/err"),
            tools_test::Bytes("veriflash: " + dir + "/veriflash.efi: no module beside the tool, nor at " + installed +
                              "; give --module FILE, or --engine native\n"));
  const std::string version = tool + " version --json >" + dir + "/out";
  EXPECT_EQ(WEXITSTATUS(std::system(version.c_str())), 0);
  const auto out = tools_test::ReadBytes(dir + "/out");
  EXPECT_EQ(nlohmann::json::parse(out.begin(), out.end())["module"], nullptr);
  const std::string create = tool + " image create " + dir + "/b.bin 2>" + dir + "/err";
  EXPECT_EQ(WEXITSTATUS(std::system(create.c_str())), 2);
  EXPECT_EQ(tools_test::ReadBytes(dir + "/err"),
            tools_test::Bytes("veriflash: " + dir + "/veriflash.efi: no module beside the tool, nor at " + installed +
                              "; give --module FILE, or --no-module\n"));
}

struct CreateCase {
  const char* name;
  const char* options;
  const char* reason;
};

const CreateCase kCreates[] = {
    {"size not a multiple of 4 KiB", "--size 0x5A0001", "--size 5898241 bytes (0x5A0001) is not a multiple of 4 KiB"},
    {"size beyond the flash window", "--size 17MiB", "--size 17MiB: not a size from 0x590000 to 0x1000000"},
    {"tamper outside the region", "--tamper 0xFFD40000",
     "--tamper 0xFFD40000 lies outside the checked region 0xFFA70000-0xFFD3FFFF"},
    {"manifest on the FIT", "--manifest 0xFFFDFF00", "the manifest at 0xFFFDFF00 would overlap the FIT at 0xFFFE0000"},
    {"FIT in the region", "--fit 0xFFB00000", "the FIT at 0xFFB00000 would overlap the checked region at 0xFFA70000"},
    {"module on the manifest", "--module-at 0xFFFCFF00", "the module at 0xFFFCFF00 would overlap the manifest at 0xFFFD0000"},
    {"module off its alignment", "--module-at 0xFFD40010", "cannot place the module at 0xFFD40010: module address 0xFFD40010 is not aligned"},
    {"module in the region", "--module-at 0xFFD00000", "the module at 0xFFD00000 would overlap the checked region"},
    {"dump without room for the ME region", "--descriptor --flash-size 8MiB",
     "--flash-size 0x800000: a BIOS region of 0x800000 bytes does not fit a flash of 0x800000 bytes"},
    {"dump of two components", "--descriptor --flash-size 24MiB",
     "--flash-size 0x1800000: a flash of 0x1800000 bytes is not one flash component of 512 KiB to 64 MiB"},
};

TEST(BadInput, ImpossibleImagesAreNotWritten) {
  const tools_test::ScratchDir dir;
  for (const CreateCase& c : kCreates) {
    SCOPED_TRACE(c.name);
    const auto r = Veriflash("image create " + dir + "/x.bin " + c.options);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.bin"));
  }
}

TEST(BadInput, AnExistingImageIsReplacedOnlyWithForce) {
  const tools_test::ScratchDir dir;
  const std::string path = dir + "/a.bin";
  ASSERT_EQ(Veriflash("image create " + path + " --seed 1").status, 0);
  const auto before = tools_test::ReadBytes(path);
  ExpectUnusable(Veriflash("image create " + path + " --seed 2"), path, "exists already; give --force to replace it");
  EXPECT_EQ(tools_test::ReadBytes(path), before);
  EXPECT_EQ(Veriflash("image create --force " + path + " --seed 2").status, 0);
  EXPECT_NE(tools_test::ReadBytes(path), before);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename(), "a.bin");  // no temporary file left behind
}

// Every numeric option reads its own text: a plain range check lets nan
// through, "-0" and "-1" were read into unsigned options, "1e400" is infinite.
const struct {
  const char* args;
  const char* line;
} kNumbers[] = {
    {"run x.bin --engine qemu --timeout nan", "--timeout nan: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout inf", "--timeout inf: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout 1e400", "--timeout 1e400: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout -0", "--timeout -0: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout 3600.001", "--timeout 3600.001: not a number from 1 to 3600"},
    {"run x.bin --engine qemu --timeout 0.999", "--timeout 0.999: not a number from 1 to 3600"},
    {"image create x.bin --seed -1", "--seed -1: not a whole number from 0x0 to 0xFFFFFFFFFFFFFFFF"},
    {"image create x.bin --seed 18446744073709551616",
     "--seed 18446744073709551616: not a whole number from 0x0 to 0xFFFFFFFFFFFFFFFF"},
    {"image create x.bin --fit -0", "--fit -0: not a whole number from 0x0 to 0xFFFFFFFF"},
    {"image create x.bin --manifest 0xFFFD0000h", "--manifest 0xFFFD0000h: not a whole number from 0x0 to 0xFFFFFFFF"},
    {"image create x.bin --module-at 1e3", "--module-at 1e3: not a whole number from 0x0 to 0xFFFFFFFF"},
    {"image create x.bin --tamper 0xFFB00000 --tamper 0x100000000",
     "--tamper 0x100000000: not a whole number from 0x0 to 0xFFFFFFFF"},
    {"image create x.bin --size 0x58F000", "--size 0x58F000: not a size from 0x590000 to 0x1000000"},
    {"image create x.bin --size 8XiB", "--size 8XiB: not a size from 0x590000 to 0x1000000"},
    {"image create x.bin --descriptor --flash-size 128MiB", "--flash-size 128MiB: not a size from 0x80000 to 0x4000000"},
};

TEST(BadInput, NumericOptionsTakeOnlyFiniteNumbersInTheirRange) {
  const tools_test::ScratchDir dir;
  for (const auto& c : kNumbers) {
    SCOPED_TRACE(c.args);
    std::string args = c.args;
    args.replace(args.find("x.bin"), 5, dir + "/x.bin");
    const auto r = Veriflash(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, std::string("veriflash: ") + c.line + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/x.bin"));
  }
  // The edges are taken, and a leading zero is decimal: 010 is ten, as 0xA is.
  for (const char* seed : {"10", "010", "0xA"})
    ASSERT_EQ(Veriflash("image create --size 0x590000 --seed " + std::string(seed) + " " + dir + "/" + seed).status, 0);
  EXPECT_EQ(tools_test::ReadBytes(dir + "/010"), tools_test::ReadBytes(dir + "/10"));
  EXPECT_EQ(tools_test::ReadBytes(dir + "/0xA"), tools_test::ReadBytes(dir + "/10"));
}

struct UsageCase {
  const char* args;
  int status;
};

const UsageCase kUsage[] = {
    {"inspect", 2}, {"run x.bin --engine warp", 2}, {"run x.bin --trace-hub maybe", 2}, {"image create", 2},
    {"image create x.bin --fit-checksum maybe", 2},
    {"image create x.bin --no-module --module-at 0xFFE00000", 2}, {"image create x.bin --flash-size 32MiB", 2},
    {"image stamp x.bin", 2}, {"image stamp x.bin -o y.bin --in-place", 2}, {"image stamp x.bin --in-place -f", 2},
    {"inspect --help", 0}, {"image create --help", 0}, {"image stamp --help", 0},
};

struct DescriptorCase {
  const char* name;
  void (*spoil)(std::vector<uint8_t>&);  // the 16 MiB dump of image create --descriptor
  const char* reason;
};

const DescriptorCase kDescriptors[] = {
    {"BIOS region unused", [](std::vector<uint8_t>& d) { d[0x44] = 0xFF, d[0x45] = 0x7F, d[0x46] = 0, d[0x47] = 0; },
     "flash descriptor: the BIOS region (region 1) is empty: its record at offset 0x44 holds 0x00007FFF, base 0x7FFF "
     "above limit 0x0000"},
    {"cut to its first 8 MiB", [](std::vector<uint8_t>& d) { d.resize(8 << 20); },
     "flash descriptor: the BIOS region 0x800000-0xFFFFFF lies outside the file, which ends at 0x7FFFFF"},
};

TEST(BadInput, MalformedDescriptorsAreUnusableForEveryCommand) {
  const tools_test::ScratchDir dir;
  const std::string path = dir + "/dump.bin";
  ASSERT_EQ(Veriflash("image create --descriptor " + dir + "/good.bin").status, 0);
  for (const DescriptorCase& c : kDescriptors) {
    SCOPED_TRACE(c.name);
    auto bytes = tools_test::ReadBytes(dir + "/good.bin");
    c.spoil(bytes);
    tools_test::WriteBytes(path, bytes);
    ExpectUnusable(Veriflash("inspect " + path), path, c.reason);
    ExpectUnusable(Veriflash("run " + path), path, c.reason);
    ExpectUnusable(Veriflash("image stamp --in-place " + path), path, c.reason);
    EXPECT_EQ(tools_test::ReadBytes(path), bytes);
  }
}

struct StampCase {
  const char* name;
  const char* create;
  tools_test::ImagePatch patch;
  const char* reason;
};

const StampCase kStamps[] = {
    {"no FIT", "--no-fit", nullptr, "cannot stamp: no usable FIT or manifest: no FIT: the FIT pointer is erased"},
    {"flash short of the region", "", [](std::vector<uint8_t>& i) { tools_test::KeepTop(i, 4 << 20); },
     "cannot stamp: the mapped flash starts at 0xFFC00000, above the checked region at 0xFFA70000: the module would "
     "hash whatever the bus returns below it"},
    {"manifest in the region", "", [](std::vector<uint8_t>& i) { tools_test::MoveManifestTo(i, 0xFFD00000); },
     "cannot stamp: the manifest's reference digest at 0xFFD0004C (offset 0x50004C) lies inside the checked region: "
     "writing it changes the hashed bytes, so no digest can ever match"},
    {"digest past 4 GiB", "", [](std::vector<uint8_t>& i) { tools_test::MoveManifestTo(i, 0xFFFFFFA0); },
     "cannot stamp: the reference digest of the manifest at 0xFFFFFFA0 (offset 0x7FFFA0) would run past 4 GiB"},
    {"digest over the FIT header", "", [](std::vector<uint8_t>& i) { tools_test::MoveManifestTo(i, 0xFFFDFFA4); },
     "cannot stamp: writing the reference digest at 0xFFFDFFF0 (offset 0x7DFFF0) changes what the check reads: the "
     "stamped image would fail at FIT header: no FIT signature \"_FIT_   \" where the FIT pointer leads: Not Found"},
    {"digest in the module", "", [](std::vector<uint8_t>& i) { tools_test::MoveManifestTo(i, 0xFFD40800); },
     "cannot stamp: the manifest's reference digest at 0xFFD4084C (offset 0x54084C) lies inside the module placed at "
     "0xFFD40000 (offset 0x540000)"},
};

TEST(BadInput, ImagesThatCannotBeStampedAreNotWritten) {
  const tools_test::ScratchDir dir;
  const std::string image = dir + "/image.bin", out = dir + "/out.bin";
  for (const StampCase& c : kStamps) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(tools_test::CreateImage(image, std::string("--digest wrong ") + c.create, c.patch).status, 0);
    const auto before = tools_test::ReadBytes(image);
    ExpectUnusable(Veriflash("image stamp " + image + " -o " + out), image, c.reason);
    EXPECT_FALSE(std::filesystem::exists(out));
    ExpectUnusable(Veriflash("image stamp --in-place " + image), image, c.reason);
    EXPECT_EQ(tools_test::ReadBytes(image), before);
  }
}

TEST(Usage, BadUsageExitsWithTwoAndHelpWithZero) {
  for (const UsageCase& c : kUsage) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(Veriflash(c.args).status, c.status);
  }
}

// Every command answers --version alike, before its own arguments are missed.
TEST(Usage, EveryCommandAnswersVersion) {
  for (const char* command : {"", "demo", "image", "image create", "image stamp", "inspect", "diff", "package",
                              "firmware", "firmware add", "firmware list", "firmware extract", "run",
                              "version"}) {
    SCOPED_TRACE(command);
    const auto version = Veriflash(std::string(command) + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "veriflash 0.1.0\n");
    EXPECT_EQ(version.err, "");
  }
}

struct RefusedWordCase {
  const char* args;
  const char* line;  // the whole of stderr
};

const RefusedWordCase kRefusedWords[] = {
    {"-V", "veriflash: -V: not a command; the commands are: demo, image, inspect, diff, package, firmware, run, version"},
    {"bogus --json", "veriflash: bogus: not a command; the commands are: demo, image, inspect, diff, package, firmware, "
                     "run, version"},
    {"", "veriflash: no command given; the commands are: demo, image, inspect, diff, package, firmware, run, version"},
    {"image bogus", "veriflash: image bogus: not a command; the image commands are: create, stamp"},
    {"image", "veriflash: image: no command given; the image commands are: create, stamp"},
    {"firmware --json", "veriflash: firmware --json: not a command; the firmware commands are: add, list, extract"},
};

// A word that names no command is refused in one line that names it and the
// commands there; stdout gets nothing, or with --json the error document.
TEST(Usage, WordsThatNameNoCommandAreNamedWithTheCommandsThere) {
  for (const RefusedWordCase& c : kRefusedWords) {
    SCOPED_TRACE(c.args);
    const auto r = Veriflash(c.args);
    EXPECT_EQ(r.status, 2);
    if (std::string(c.args).find("--json") == std::string::npos)
      EXPECT_EQ(r.out, "");
    else
      EXPECT_EQ(r.Json()["error"], std::string(c.line).substr(std::string("veriflash: ").size()));
    EXPECT_EQ(r.err, std::string(c.line) + "\n");
  }
}

TEST(Usage, HelpSaysWhichOptionsFailTheCheckOnPurpose) {
  std::istringstream help(Veriflash("image create --help").out);
  std::map<std::string, std::string> lines;  // option -> its help, continuation lines included
  std::string option;
  for (std::string line; std::getline(help, line);) {
    const size_t start = line.find_first_not_of(' ');
    if (start != std::string::npos && line.compare(start, 2, "--") == 0)
      option = line.substr(start, line.find_first_of(" ,", start) - start);
    lines[option] += line;
  }
  for (const char* option : {"--fit-checksum", "--no-fit", "--no-manifest-entry", "--wrong-manifest-signature", "--digest",
                             "--tamper"}) {
    SCOPED_TRACE(option);
    EXPECT_NE(lines[option].find("FAILS"), std::string::npos) << lines[option];
  }
  for (const char* option : {"--size", "--fill", "--seed", "--fit", "--manifest", "--module", "--module-at"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(lines[option].find("FAILS"), std::string::npos) << lines[option];
  }
}

}  // namespace

namespace {

// Special files: refused at once with one line, never opened in a way that
// blocks (a FIFO with no writer), never replaced by -f.
TEST(BadInput, SpecialFilesAreRefusedAtOnceAndNeverReplaced) {
  const tools_test::ScratchDir dir;
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(Veriflash("image create " + dir + "/image.bin").status, 0);
  for (const std::string& args : {"inspect " + fifo, "run --module " + fifo + " " + dir + "/image.bin",
                                 "image create " + dir + "/new.bin --content " + fifo}) {
    SCOPED_TRACE(args);
    // Bounded, so that a tool that blocks fails the test instead of hanging it.
    const std::string command = "timeout 20 " + std::string(VERIFLASH_TOOL) + " " + args + " 2>" + dir + "/err";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
    const auto err = tools_test::ReadBytes(dir + "/err");
    const std::string text(err.begin(), err.end());
    EXPECT_EQ(text.rfind("veriflash: " + fifo + ": ", 0), 0u) << text;
    EXPECT_NE(text.find("not a regular file"), std::string::npos) << text;
  }
  const std::string link = dir + "/null";
  std::filesystem::create_symlink("/dev/null", link);
  ExpectUnusable(Veriflash("image create -f /dev/null"), "/dev/null",
                 "is not a regular file; --force replaces regular files only");
  ExpectUnusable(Veriflash("image create -f " + link), link, "is not a regular file; --force replaces regular files only");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

// A file name that is not UTF-8 gets replacement characters in JSON; the
// verdict does not depend on --json.
TEST(BadInput, NamesThatAreNotUtf8StillGiveJson) {
  const tools_test::ScratchDir dir;
  const std::string name = dir + "/caf\xE9.bin";
  ASSERT_EQ(Veriflash("image create " + name).status, 0);
  const auto r = Veriflash("inspect --json " + name);
  EXPECT_EQ(r.status, Veriflash("inspect " + name).status);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.Json()["image"]["name"], dir + "/caf\xEF\xBF\xBD.bin");
}

}  // namespace
