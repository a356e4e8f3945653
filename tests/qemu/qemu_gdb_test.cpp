// Evidence from inside the real firmware, through QEMU's gdbstub: on the
// passing pre-memory image (the module runs in place at its rebased
// address) ModuleEntry returns 0, OnEndOfPei returns 0, and the HOB list the
// module walked holds the TSC frequency HOB with a plausible frequency.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "common/hex.h"
#include "qemu_rig.h"
#include "runners/run_qemu.h"
#include "tests/tools/tool_runner.h"

namespace {

// dba6a7e3-bb57-4be7-8af8-d578db7e5687 as stored.
constexpr uint8_t TSC_GUID[16] = {0xE3, 0xA7, 0xA6, 0xDB, 0x57, 0xBB, 0xE7, 0x4B,
                                  0x8A, 0xF8, 0xD5, 0x78, 0xDB, 0x7E, 0x56, 0x87};
constexpr uint16_t HOB_GUID_EXTENSION = 0x0004, HOB_END = 0xFFFF;
constexpr size_t HOB_HEADER = 8, HOB_NAME_AT = 8, HOB_DATA_AT = 24;
constexpr size_t HOB_DUMP = 0x10000;

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string Script(uint16_t port, uint32_t base, const std::string& dump) {
  const auto at = [base](const char* symbol) { return common::Hex(base + qemu_rig::SymbolRva(symbol), 8); };
  return "set pagination off\nset confirm off\nset architecture i386\nset tcp connect-timeout 30\n"
         "target remote 127.0.0.1:" + std::to_string(port) + "\n"
         // ModuleEntry: remember where it returns to.
         "tbreak *" + at(qemu_rig::MODULE_ENTRY) + "\ncontinue\nset $entryReturn = *(unsigned int *)$esp\n"
         // GetHobList's out pointer (the third argument) receives the list the module walks.
         "tbreak *" + at(qemu_rig::CALL_GET_HOB_LIST) + "\ncontinue\nset $out = *(unsigned int *)($esp + 12)\n"
         "tbreak *(*(unsigned int *)$esp)\ncontinue\n"
         "set $hobs = *(unsigned int *)$out\nprintf \"HOB list 0x%08x\\n\", $hobs\n"
         "tbreak *$entryReturn\ncontinue\nprintf \"ModuleEntry returned 0x%08x\\n\", $eax\n"
         "dump binary memory " + dump + " $hobs $hobs+" + std::to_string(HOB_DUMP) + "\n"
         "tbreak *" + at(qemu_rig::ON_END_OF_PEI) + "\ncontinue\nset $endReturn = *(unsigned int *)$esp\n"
         "tbreak *$endReturn\ncontinue\nprintf \"OnEndOfPei returned 0x%08x\\n\", $eax\n"
         "detach\nquit\n";
}

// The frequency in the first TSC frequency HOB of the dumped list; 0 when none.
uint64_t TscFrequency(const std::string& hobs) {
  for (size_t at = 0; at + HOB_HEADER <= hobs.size();) {
    uint16_t type, length;
    std::memcpy(&type, &hobs[at], 2);
    std::memcpy(&length, &hobs[at + 2], 2);
    if (type == HOB_END || length < HOB_HEADER) return 0;
    if (type == HOB_GUID_EXTENSION && length >= HOB_DATA_AT + 8 && at + HOB_DATA_AT + 8 <= hobs.size() &&
        std::memcmp(&hobs[at + HOB_NAME_AT], TSC_GUID, 16) == 0) {
      uint64_t hz;
      std::memcpy(&hz, &hobs[at + HOB_DATA_AT], 8);
      return hz;
    }
    at += length;
  }
  return 0;
}

TEST(QemuGdb, ModuleEntryAndOnEndOfPeiReturnZeroAndTheHobListHoldsThePlausibleTscFrequency) {
  if (const std::string why = qemu_rig::WhyNot(); !why.empty()) GTEST_SKIP() << why;
  if (!qemu_rig::OnPath("gdb")) GTEST_SKIP() << "gdb is absent: install Debian's gdb";
  const tools_test::ScratchDir dir;
  const uint16_t port = FreePort();
  std::ofstream(dir + "/script.gdb") << Script(port, qemu_rig::PreMemoryImageAddress(), dir + "/hobs.bin");

  // gdb waits for QEMU's stub (connect-timeout); QEMU starts stopped and
  // runs once gdb continues it.
  std::thread gdb([&] {
    const std::string command = "timeout 150 gdb -batch -nx -x " + dir + "/script.gdb >" + dir + "/gdb.out 2>&1";
    std::system(command.c_str());
  });
  runners::QemuOptions options;
  options.timeoutSeconds = 120;
  options.gdbPort = port;
  const std::string image = qemu_rig::Slurp(qemu_rig::Images() + "/pass_pre.bin");
  const runners::QemuOutcome outcome =
      runners::RunQemu(std::span(reinterpret_cast<const uint8_t*>(image.data()), image.size()), options);
  gdb.join();

  const std::string said = qemu_rig::Slurp(dir + "/gdb.out");
  EXPECT_EQ(outcome.end, runners::QemuEnd::ReachedBoot) << said;
  EXPECT_NE(said.find("ModuleEntry returned 0x00000000\n"), std::string::npos) << said;
  EXPECT_NE(said.find("OnEndOfPei returned 0x00000000\n"), std::string::npos) << said;
  const uint64_t hz = TscFrequency(qemu_rig::Slurp(dir + "/hobs.bin"));
  // TCG's TSC follows the host's; any real one lies between 1 and 10 GHz.
  EXPECT_GT(hz, 1'000'000'000u) << said;
  EXPECT_LT(hz, 10'000'000'000u) << said;
  std::smatch list;
  std::regex_search(said, list, std::regex("HOB list 0x[0-9a-f]+"));
  std::cout << list.str() << "; TSC frequency HOB: " << hz << " Hz; boot to the verdict " << outcome.seconds << " s\n";
}

}  // namespace
