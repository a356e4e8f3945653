// image stamp --in-place keeps what makes the file the same file to its
// users (mode, owner, group, the one name it has) or refuses with one line
// and leaves it as it was; and a write removes the temporaries that killed
// runs left beside it, but none that a live run holds.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <set>

#include "tests/support/dead_pid.h"
#include "tool_runner.h"

namespace {

using tools_test::Veriflash;

constexpr uid_t NOBODY = 65534;  // Debian's nobody:nogroup

struct InPlaceCase {
  const char* name;
  void (*prepare)(const std::string& image, const std::string& dir);
  const char* argument;  // the name given to stamp, beside the image; null: the image itself
  mode_t mode;           // the image's mode afterwards
  uid_t owner;           // and its owner and group
  const char* refusal;   // the line after "veriflash: <argument>: ", null when it is stamped
};

const InPlaceCase kInPlace[] = {
    {"0600 stays 0600", [](const std::string& i, const std::string&) { chmod(i.c_str(), 0600); }, nullptr, 0600, 0,
     nullptr},
    {"another user's 0640 file keeps its owner and group",
     [](const std::string& i, const std::string&) { chmod(i.c_str(), 0640), (void)chown(i.c_str(), NOBODY, NOBODY); },
     nullptr, 0640, NOBODY, nullptr},
    {"set-user-ID survives the new owner", [](const std::string& i, const std::string&) { chmod(i.c_str(), 04755); },
     nullptr, 04755, 0, nullptr},
    {"read-only 0444, refused even to root", [](const std::string& i, const std::string&) { chmod(i.c_str(), 0444); },
     nullptr, 0444, 0,
     "is read-only for you (mode 0444); --in-place writes only a file you may write, and as root one with a write "
     "permission bit"},
    {"hard link",
     [](const std::string& i, const std::string& d) { chmod(i.c_str(), 0644), link(i.c_str(), (d + "/other").c_str()); },
     nullptr, 0644, 0, "has 2 hard links, which would keep the old bytes; write to -o OUT instead"},
    {"symbolic link",
     [](const std::string& i, const std::string& d) { chmod(i.c_str(), 0644), symlink(i.c_str(), (d + "/link").c_str()); },
     "link", 0644, 0, "is a symbolic link to {image}; --in-place replaces regular files only: name the file itself"},
};

TEST(StampInPlace, KeepsModeOwnerAndNameOrRefusesAndWritesNothing) {
  ASSERT_EQ(geteuid(), 0u) << "the owner cases give a file to nobody: run as root";
  const tools_test::ScratchDir dir;
  ASSERT_EQ(Veriflash("image create " + dir + "/wrong.bin --digest wrong").status, 0);
  ASSERT_EQ(Veriflash("image create " + dir + "/right.bin").status, 0);
  const auto wrong = tools_test::ReadBytes(dir + "/wrong.bin");
  const auto right = tools_test::ReadBytes(dir + "/right.bin");
  for (const InPlaceCase& c : kInPlace) {
    SCOPED_TRACE(c.name);
    const tools_test::ScratchDir sub;
    const std::string image = sub + "/image.bin";
    tools_test::WriteBytes(image, wrong);
    c.prepare(image, sub);
    const std::string argument = c.argument ? sub + "/" + c.argument : image;
    const auto r = Veriflash("image stamp --in-place " + argument);
    struct stat after {};
    ASSERT_EQ(lstat(image.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, c.owner);
    EXPECT_EQ(after.st_gid, c.owner);
    if (c.refusal) {
      std::string line = c.refusal;
      if (const size_t at = line.find("{image}"); at != std::string::npos) line.replace(at, 7, image);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, "veriflash: " + argument + ": " + line + "\n");
      EXPECT_EQ(tools_test::ReadBytes(image), wrong);
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(tools_test::ReadBytes(image), right);
    }
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(sub.path())) names.insert(entry.path().filename());
    const std::set<std::string> expected = c.argument ? std::set<std::string>{"image.bin", c.argument}
                                           : after.st_nlink > 1 ? std::set<std::string>{"image.bin", "other"}
                                                                : std::set<std::string>{"image.bin"};
    EXPECT_EQ(names, expected);  // no temporary left beside it
  }
}

TEST(StampInPlace, AWriteRemovesOnlyTheTemporariesOfDeadRuns) {
  const tools_test::ScratchDir dir;
  ASSERT_EQ(Veriflash("image create " + dir + "/wrong.bin --digest wrong").status, 0);
  const std::string dead = std::to_string(test_support::DeadPid());
  const std::string alive = std::to_string(getpid());
  const std::string stale = "wrong.bin.veriflash-tmp-" + dead + "-a1B2c3";
  const std::string staleFolder = "old.bin.veriflash-tmp-" + dead + "-D4e5F6";
  const std::string locked = "held.bin.veriflash-tmp-" + dead + "-g7H8i9";   // its pid gone, its lock held
  const std::string living = "live.bin.veriflash-tmp-" + alive + "-j0K1l2";  // not locked yet, its maker alive
  const std::string users = "wrong.bin.a1B2c3";                               // not one of ours
  const std::string qemu = "veriflash-qemu-" + dead + "-m3N4o5";              // another kind
  for (const std::string& name : {stale, locked, living, users}) tools_test::WriteBytes(dir + "/" + name, {1, 2, 3});
  for (const std::string& name : {staleFolder, qemu}) {
    std::filesystem::create_directory(dir + "/" + name);
    tools_test::WriteBytes(dir + "/" + name + "/trace.log", {1});
  }
  const int held = open((dir + "/" + locked).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  ASSERT_EQ(Veriflash("image stamp --in-place " + dir + "/wrong.bin").status, 0);
  close(held);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"wrong.bin", locked, living, users, qemu}));
}

}  // namespace
