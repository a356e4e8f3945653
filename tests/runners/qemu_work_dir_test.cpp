// A QEMU boot's folder: named after the run's process, removed when the run
// ends, and the folders that killed runs left in the temporary folder are
// removed by the next boot, but not one that a live run still holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "runners/qemu_process.h"
#include "tests/support/dead_pid.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

TEST(QemuWorkDir, IsNamedAfterItsRunAndRemovesTheFoldersOfDeadRuns) {
  const fs::path temp = fs::temp_directory_path() / ("veriflash_work_dir_test_" + std::to_string(getpid()));
  fs::create_directories(temp);
  const char* previous = std::getenv("TMPDIR");
  const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
  setenv("TMPDIR", temp.c_str(), 1);

  const std::string dead = std::to_string(test_support::DeadPid());
  const std::string stale = "veriflash-qemu-" + dead + "-a1B2c3", held = "veriflash-qemu-" + dead + "-d4E5f6";
  for (const std::string& name : {stale, held}) {
    fs::create_directory(temp / name);
    std::ofstream(temp / name / "trace.log") << "port 0x80";
  }
  const int lock = open((temp / held).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::string own;
  {
    const runners::WorkDir work;
    own = fs::path(work.File("x")).parent_path().filename();
    EXPECT_EQ(own.rfind("veriflash-qemu-" + std::to_string(getpid()) + "-", 0), 0u) << own;
    EXPECT_EQ(Names(temp), (std::set<std::string>{held, own}));
  }
  EXPECT_EQ(Names(temp), std::set<std::string>{held});

  close(lock);
  if (saved) setenv("TMPDIR", saved->c_str(), 1); else unsetenv("TMPDIR");
  fs::remove_all(temp);
}

}  // namespace
