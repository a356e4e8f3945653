#include "kvm/kvm_boot.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/hex.h"
#include "firmware/pe_image.h"
#include "vplat/flash_image.h"

namespace kvm {
namespace {

using kvm_stub::CheckMode;

constexpr const char* QEMU = "qemu-system-i386";
// The watchdog counts local APIC timer ticks divided by 16; both KVM's APIC
// and QEMU's count 1 GHz. Under KVM a check hashes 2.8 MiB in milliseconds:
// a second tells a halted check from a slow one with a wide margin. Under TCG
// with -icount shift=0 virtual time is one nanosecond per instruction and a
// portable check takes about 180 M instructions: half a second of virtual
// time is well above that and keeps the wait for a halted check short.
constexpr uint32_t KVM_WATCHDOG_TICKS = 1'000'000'000u / 16;
constexpr uint32_t TCG_WATCHDOG_TICKS = 500'000'000u / 16;
// The whole boot, QEMU's start included, against a hang of QEMU itself.
constexpr int BOOT_TIMEOUT_SECONDS = 60;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw KvmError("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// A private folder for one boot, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veriflash-kvm-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw KvmError("cannot create a folder under " + pattern);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;  // a leftover temporary folder is not worth failing for
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

CheckMode ParseMode(const std::string& word, const std::string& line) {
  if (word == "as-is") return CheckMode::AsIs;
  if (word == "sse-off") return CheckMode::SseDisabled;
  throw KvmError("boot stub report: unknown mode in \"" + line + "\"");
}

bool ParseXmm(const std::string& word, const std::string& line) {
  if (word == "xmm-used") return true;
  if (word == "xmm-untouched") return false;
  throw KvmError("boot stub report: unknown XMM state in \"" + line + "\"");
}

uint64_t ParseHex(const std::string& word, const std::string& line) {
  if (word.empty() || word.find_first_not_of("0123456789ABCDEF") != std::string::npos)
    throw KvmError("boot stub report: bad number in \"" + line + "\"");
  return std::stoull(word, nullptr, 16);
}

BootReport ParseReport(const std::string& serial) {
  BootReport report;
  report.serial = serial;
  bool entry = false;
  std::istringstream lines(serial);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string kind, a, b, c, d, e;
    words >> kind >> a >> b >> c >> d >> e;
    if (kind == "entry") {
      report.entryStatus = static_cast<EFI_STATUS>(ParseHex(a, line));
      entry = true;
    } else if (kind == "check") {
      report.checks.push_back(
          {ParseMode(b, line), static_cast<EFI_STATUS>(ParseHex(c, line)), ParseHex(d, line), ParseXmm(e, line)});
    } else if (kind == "halted") {
      report.checks.push_back({ParseMode(b, line), std::nullopt, 0, ParseXmm(c, line)});
      return report;
    } else if (kind == "done") {
      if (!entry) break;
      return report;
    } else if (kind == "fault") {
      throw KvmError("boot stub reports a fault: \"" + line + "\"");
    }
  }
  throw KvmError("boot stub report ends early: \"" + serial + "\"");
}

// KVM without VMX or SVM (a paravirtual KVM such as PVM inside a virtual
// machine) runs a 32-bit guest without paging through its instruction
// emulator, thousands of times slower than the processor: a check would take
// minutes, and the SHA instructions are not emulated at all.
bool HardwareVirtualization() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream flags(line);
    for (std::string flag; flags >> flag;)
      if (flag == "vmx" || flag == "svm") return true;
    return false;
  }
  return false;
}

}  // namespace

std::optional<std::string> Unavailable(Accelerator accelerator) {
  if (!OnPath(QEMU)) return std::string(QEMU) + " is not installed";
  if (accelerator == Accelerator::Tcg) return std::nullopt;
  const int fd = open("/dev/kvm", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("/dev/kvm cannot be opened for reading and writing");
  close(fd);
  if (!HardwareVirtualization())
    return std::string("/dev/kvm is there, but the processor offers no VMX or SVM to it (/proc/cpuinfo): "
                       "its KVM would emulate the module instruction by instruction instead of running it");
  return std::nullopt;
}

StubPieces ReadStub(const std::string& codePath, const std::string& resetPath) {
  StubPieces stub{ReadFile(codePath), ReadFile(resetPath)};
  if (stub.code.size() > kvm_stub::CODE_LIMIT - kvm_stub::CODE_ADDRESS)
    throw KvmError(codePath + ": " + std::to_string(stub.code.size()) + " bytes reach the stub's parameters");
  if (stub.reset.empty() || stub.reset.size() > 0x100000000ull - kvm_stub::RESET_VECTOR)
    throw KvmError(resetPath + ": " + std::to_string(stub.reset.size()) + " bytes cannot be a reset vector");
  return stub;
}

std::vector<uint8_t> BuildBootImage(std::vector<uint8_t> flash, const std::vector<uint8_t>& efi,
                                    const StubPieces& stub, const std::vector<CheckMode>& checks,
                                    Accelerator accelerator) {
  if (checks.size() > kvm_stub::MAX_CHECKS)
    throw KvmError(std::to_string(checks.size()) + " checks asked for; the stub runs at most " +
                   std::to_string(kvm_stub::MAX_CHECKS));
  const firmware::PlacedModule module = firmware::PlaceModule(flash, efi, vplat::DEFAULT_MODULE_ADDRESS);
  kvm_stub::Parameters parameters{};
  parameters.magic = kvm_stub::PARAMETERS_MAGIC;
  parameters.moduleEntry = module.entry;
  parameters.checkCount = static_cast<uint32_t>(checks.size());
  parameters.watchdogTicks = accelerator == Accelerator::Kvm ? KVM_WATCHDOG_TICKS : TCG_WATCHDOG_TICKS;
  for (size_t i = 0; i < checks.size(); ++i) parameters.checks[i] = checks[i];
  vplat::Store(flash, kvm_stub::CODE_ADDRESS, stub.code.data(), stub.code.size());
  vplat::Store(flash, kvm_stub::PARAMETERS_ADDRESS, &parameters, sizeof parameters);
  vplat::Store(flash, kvm_stub::RESET_VECTOR, stub.reset.data(), stub.reset.size());
  return flash;
}

BootReport Boot(const std::vector<uint8_t>& image, Accelerator accelerator) {
  ScratchDir scratch;
  const std::string imagePath = scratch.File("flash.bin");
  const std::string serialPath = scratch.File("serial.txt");
  {
    std::ofstream out(imagePath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) throw KvmError("cannot write " + imagePath);
  }
  // -bios maps the image so that it ends at 4 GiB; the processor starts in it.
  // Under KVM the guest gets the host CPU's features except the
  // architectural capabilities MSR, which nested KVM may refuse to set,
  // aborting QEMU; the module does not read it.
  const std::string cpu = accelerator == Accelerator::Kvm ? " -accel kvm -cpu host,-arch-capabilities"
                                                          : " -accel tcg -icount shift=0 -cpu max";
  const std::string command = "timeout " + std::to_string(BOOT_TIMEOUT_SECONDS) + " " + QEMU + " -machine pc" +
                              cpu + " -m 16 -nodefaults -display none -no-reboot"
                              " -bios '" + imagePath + "'"
                              " -device isa-debug-exit,iobase=" + common::Hex(kvm_stub::DEBUG_EXIT_PORT) +
                              ",iosize=1 -serial 'file:" + serialPath + "' 2>&1";
  FILE* qemu = popen(command.c_str(), "r");
  if (qemu == nullptr) throw KvmError(std::string("cannot start ") + QEMU);
  std::string diagnostics;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, qemu) != nullptr) diagnostics += buffer;
  const int status = pclose(qemu);
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto serialBytes = ReadFile(serialPath);
  const std::string serial(serialBytes.begin(), serialBytes.end());
  if (exitStatus != kvm_stub::EXIT_STATUS) {
    while (!diagnostics.empty() && diagnostics.back() == '\n') diagnostics.pop_back();
    throw KvmError(std::string(QEMU) + " exited with status " + std::to_string(exitStatus) + " instead of " +
                   std::to_string(kvm_stub::EXIT_STATUS) + (diagnostics.empty() ? "" : ": " + diagnostics) +
                   (serial.empty() ? "" : "; the stub wrote \"" + serial + "\""));
  }
  return ParseReport(serial);
}

}  // namespace kvm
