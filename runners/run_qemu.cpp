#include "runners/run_qemu.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "firmware/firmware_volume.h"
#include "firmware/pi_layout.h"
#include "runners/qemu_process.h"

namespace runners {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t POST_CODE_PORT = 0x80;
constexpr uint16_t PIT_PORTS[] = {0x42, 0x43, 0x61};  // counter 2, control word, port B
constexpr uint8_t POST_CODE_FAILED = 0x8F;
// Serial lines that only appear once the firmware is past PEI and DXE: the
// boot manager's and the UEFI shell's banner.
constexpr const char* BOOT_MARKERS[] = {"BdsDxe: ", "UEFI Interactive Shell"};
constexpr auto POLL = std::chrono::milliseconds(50);
constexpr int EIP_SAMPLES = 3;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads what has been appended to a file since the last call.
class Tail {
 public:
  explicit Tail(std::string path) : path_(std::move(path)) {}
  std::string More() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += text.size();
    return text;
  }

 private:
  std::string path_;
  size_t offset_ = 0;
};

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw QemuError("cannot write " + path);
}

bool IsPitPort(uint16_t port) { return std::find(std::begin(PIT_PORTS), std::end(PIT_PORTS), port) != std::end(PIT_PORTS); }

}  // namespace

const char* QemuEndName(QemuEnd end) {
  switch (end) {
    case QemuEnd::ReachedBoot: return "reached the boot manager";
    case QemuEnd::Halted: return "halted";
    case QemuEnd::TimedOut: return "timed out";
    case QemuEnd::Exited: return "QEMU exited";
  }
  return "?";
}

bool QemuOutcome::Wrote8F() const {
  return std::find(postCodes.begin(), postCodes.end(), POST_CODE_FAILED) != postCodes.end();
}

Verdict VerdictOf(const QemuOutcome& o) {
  if (o.end == QemuEnd::Halted) return Verdict::Fail;
  if (o.end == QemuEnd::ReachedBoot && !o.Wrote8F()) return Verdict::Pass;
  return Verdict::NotRun;
}

std::optional<size_t> CodePartOffset(std::span<const uint8_t> image) {
  // Every FFS volume in the image, in order.
  std::vector<std::pair<size_t, size_t>> volumes;
  for (size_t at = 0; at + sizeof(firmware::FirmwareVolumeHeader) <= image.size(); at += firmware::FFS_FILE_ALIGNMENT) {
    if (!firmware::HoldsFfsFiles(image.subspan(at))) continue;
    const uint64_t length = firmware::ReadRecord<firmware::FirmwareVolumeHeader>(image, at).FvLength;
    if (length > image.size() - at || length < firmware::FFS_FILE_ALIGNMENT) continue;
    volumes.emplace_back(at, at + length);
    at += length - firmware::FFS_FILE_ALIGNMENT;
  }
  if (volumes.empty() || volumes.back().second != image.size()) return std::nullopt;
  size_t start = volumes.back().first;
  for (auto v = volumes.rbegin() + 1; v != volumes.rend() && v->second == start; ++v) start = v->first;
  return start;
}

QemuOutcome RunQemu(std::span<const uint8_t> image, const QemuOptions& options) {
  const std::optional<size_t> code = CodePartOffset(image);
  if (!code || *code == 0)
    throw QemuError("the image does not end in a firmware's code part (firmware volumes up to 4 GiB below other "
                    "flash); make it with image create --firmware CODE.fd --vars VARS.fd");
  const QemuMachine machine = options.machine ? *options.machine : QemuMachineFor(image.subspan(*code));
  const std::string qemu = FindProgram(machine.program);
  QemuOutcome outcome;
  outcome.codeSize = static_cast<uint32_t>(image.size() - *code);
  outcome.lowerSize = static_cast<uint32_t>(*code);

  WorkDir dir;
  WriteFile(dir.File("code.fd"), image.subspan(*code));
  WriteFile(dir.File("lower.fd"), image.first(*code));
  std::vector<std::string> args = QemuMachineArgs(machine);
  args.insert(args.end(), {
      "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + dir.File("code.fd"),
      "-drive", "if=pflash,format=raw,unit=1,file=" + dir.File("lower.fd"),
      "-display", "none", "-no-reboot",
      "-serial", "file:" + dir.File("serial.log"),
      "-monitor", "unix:" + dir.File("monitor.sock") + ",server,nowait",
      // Writes only: with reads too the log grows to hundreds of MB.
      "-trace", "memory_region_ops_write", "-D", dir.File("trace.log")});
  if (options.gdbPort) {
    args.insert(args.end(), {"-S", "-gdb", "tcp:127.0.0.1:" + std::to_string(*options.gdbPort)});
  }

  const SignalGuard signals;
  const auto start = Clock::now();
  Child child(qemu, args, dir.File("qemu.err"));
  Tail trace(dir.File("trace.log")), serial(dir.File("serial.log"));
  std::string partialLine;
  auto lastActivity = Clock::now();
  std::optional<double> postCodeAt;  // when 0x8F was first seen
  for (;;) {
    std::this_thread::sleep_for(POLL);
    if (const int signal = SignalGuard::Caught())
      throw QemuError("interrupted by signal " + std::to_string(signal) + "; QEMU stopped");
    const std::optional<int> exited = child.Exited();
    bool active = false;
    std::string text = partialLine + trace.More();
    size_t lineStart = 0;
    for (size_t end; (end = text.find('\n', lineStart)) != std::string::npos; lineStart = end + 1) {
      const auto write = ParsePortWrite(std::string_view(text).substr(lineStart, end - lineStart));
      if (!write) continue;
      active = true;
      if (write->port == POST_CODE_PORT) outcome.postCodes.push_back(static_cast<uint8_t>(write->value));
      if (IsPitPort(write->port)) outcome.pitWrites.push_back(*write);
    }
    partialLine = text.substr(lineStart);
    const std::string newSerial = serial.More();
    if (!newSerial.empty()) active = true;
    outcome.serial += newSerial;
    if (active) lastActivity = Clock::now();

    for (const char* marker : BOOT_MARKERS) {
      const size_t at = outcome.serial.find(marker);
      const size_t lineEnd = at == std::string::npos ? at : outcome.serial.find_first_of("\r\n", at);
      if (at != std::string::npos && lineEnd != std::string::npos && outcome.end != QemuEnd::ReachedBoot) {
        outcome.end = QemuEnd::ReachedBoot;
        outcome.bootLine = outcome.serial.substr(at, lineEnd - at);
      }
    }
    if (outcome.end == QemuEnd::ReachedBoot) break;
    if (outcome.Wrote8F() && !postCodeAt) postCodeAt = Since(start);
    if (postCodeAt && std::chrono::duration<double>(Clock::now() - lastActivity).count() >= options.settleSeconds) {
      outcome.end = QemuEnd::Halted;
      outcome.seconds = *postCodeAt;
      outcome.haltEips = SampleEips(dir.File("monitor.sock"), EIP_SAMPLES);
      break;
    }
    if (exited) {
      outcome.end = QemuEnd::Exited;
      outcome.exitStatus = exited;
      break;
    }
    if (Since(start) >= options.timeoutSeconds) {
      outcome.end = QemuEnd::TimedOut;
      break;
    }
  }
  if (outcome.end != QemuEnd::Halted) outcome.seconds = Since(start);
  std::ifstream errors(dir.File("qemu.err"));
  outcome.qemuErrors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  if (outcome.end == QemuEnd::Exited && outcome.exitStatus == 127 && outcome.qemuErrors.empty())
    throw QemuError("cannot run " + qemu);
  return outcome;
}

}  // namespace runners
