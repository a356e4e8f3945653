// The flash-map pages of `inspect --html` and `diff --html` as a browser
// sees them: headless chromium renders each to a PNG, and its DOM holds the
// map's bands and areas with their hover titles. The pages load nothing
// from elsewhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct PageCase {
  const char* name;
  const char* command;  // veriflash arguments; {A}, {B} the images, {OUT} the page
  // Fragments of the DOM chromium builds from the page, each with how many
  // times it appears.
  std::vector<std::pair<std::string, size_t>> dom;
};

class FlashMapPage : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veriflash_html_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

// An 8 MiB image: below 4 GiB from 0xFF800000, the checked region at file
// offset 0x270000, the module at 0xFFD40000, the manifest at 0xFFFD0000, the
// FIT at 0xFFFE0000; B has one byte changed at 0xFFB00000. Each area is
// titled in the window band and again in the zoomed band that shows it.
TEST_F(FlashMapPage, RendersInChromium) {
  if (Shell("command -v chromium") != 0)
    GTEST_SKIP() << "chromium is absent (scripts/install-deps.sh installs it): the flash-map pages are not rendered";
  const std::string tool = VERIFLASH_TOOL, a = dir_ + "/a.bin", b = dir_ + "/b.bin";
  ASSERT_EQ(Shell(tool + " image create " + a), 0);
  ASSERT_EQ(Shell(tool + " image create " + b + " --tamper 0xFFB00000"), 0);
  const PageCase cases[] = {
      {"inspect",
       "inspect {A} --html {OUT}",
       {{"<svg id=\"flash-map\"", 1},
        {"data-band=\"window\"", 1},
        // Zoomed: the module; the manifest, the FIT and the FIT pointer, 0x2FFC4 bytes from 0xFFFD0000.
        {"data-band=\"zoom\"", 2},
        {"<title>checked region: 0xFFA70000-0xFFD3FFFF (offset 0x270000-0x53FFFF, 2880 KiB)</title>", 2},
        {"<title>FIT, 5 entries: 0xFFFE0000-0xFFFE004F (offset 0x7E0000-0x7E004F, 80 bytes)</title>", 2},
        {"class=\"area change\"", 0}}},
      {"diff",
       "diff {A} {B} --html {OUT}",
       {{"<svg id=\"flash-map\"", 1},
        {"<title>changed: 0xFFB00000-0xFFB00000 (offset 0x300000, 1 byte)</title>", 2},
        {"0xFFB00000-0xFFB00000  offset 0x300000           1 byte  [checked region]", 1}}},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir_ + "/" + c.name + ".html", png = dir_ + "/" + c.name + ".png";
    std::string args = c.command;
    for (const auto& [key, value] : {std::pair{std::string("{A}"), a}, {std::string("{B}"), b}, {std::string("{OUT}"), out}})
      for (size_t at; (at = args.find(key)) != std::string::npos;) args.replace(at, key.size(), value);
    Shell(tool + " " + args);
    const std::string page = Slurp(out);
    ASSERT_FALSE(page.empty());
    // Nothing fetched: no sources, links, imports or URLs in styles.
    for (const char* fetch : {"src=", "href=", "@import", "url("}) EXPECT_EQ(page.find(fetch), std::string::npos) << fetch;

    // Chromium writes its profile and settings under HOME too: kept in the scratch folder.
    const std::string browser = "HOME=" + dir_ + " chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + dir_ +
                                "/profile ";
    ASSERT_EQ(Shell(browser + "--window-size=1600,700 --screenshot=" + png + " file://" + out), 0);
    const std::string image = Slurp(png);
    ASSERT_GT(image.size(), 1000u);
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    ASSERT_EQ(std::system((browser + "--dump-dom file://" + out + " >" + dir_ + "/dom 2>/dev/null").c_str()), 0);
    const std::string dom = Slurp(dir_ + "/dom");
    for (const auto& [fragment, times] : c.dom) EXPECT_EQ(Count(dom, fragment), times) << fragment;
  }
}

}  // namespace
