#include "runners/run_qemu.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include <fmt/core.h>

#include "firmware/code_part.h"
#include "firmware/firmware_error.h"
#include "firmware/firmware_volume.h"
#include "firmware/pi_layout.h"
#include "common/hex.h"
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
// What one poll takes of the trace: a flood of writes is read at this pace
// while QEMU waits on the pipe.
constexpr size_t TRACE_BYTES_PER_POLL = 8 << 20;
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

// QEMU's trace log through a named pipe: nothing of it reaches the disk,
// and a guest that writes faster than the run reads it waits for the run.
class TracePipe {
 public:
  explicit TracePipe(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw QemuError("cannot create " + path + ": " + std::strerror(errno));
    // Open for reading first, without waiting, so that QEMU's open for
    // writing finds a reader.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw QemuError("cannot open " + path + ": " + std::strerror(errno));
    ::fcntl(fd_, F_SETPIPE_SZ, PIPE_BYTES);
  }
  ~TracePipe() { ::close(fd_); }
  TracePipe(const TracePipe&) = delete;
  TracePipe& operator=(const TracePipe&) = delete;
  // At most `limit` bytes of what QEMU has written since the last call.
  std::string More(size_t limit) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while (text.size() < limit && (n = ::read(fd_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }

 private:
  static constexpr int PIPE_BYTES = 1 << 20;
  int fd_ = -1;
};

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw QemuError("cannot write " + path);
}

std::optional<size_t> FirstFfsVolume(std::span<const uint8_t> image) {
  for (size_t at = 0; at + sizeof(firmware::FirmwareVolumeHeader) <= image.size(); at += firmware::FFS_FILE_ALIGNMENT)
    if (firmware::HoldsFfsFiles(image.subspan(at))) return at;
  return std::nullopt;
}

bool IsPitPort(uint16_t port) { return std::find(std::begin(PIT_PORTS), std::end(PIT_PORTS), port) != std::end(PIT_PORTS); }

}  // namespace

const char* QemuEndName(QemuEnd end) {
  switch (end) {
    case QemuEnd::ReachedBoot: return "reached the boot manager";
    case QemuEnd::Halted: return "halted";
    case QemuEnd::TimedOut: return "timed out";
    case QemuEnd::Exited: return "QEMU exited";
    case QemuEnd::Flooded: return "flooded the ports";
    case QemuEnd::Faulted: return "a module faulted";
  }
  return "?";
}

bool QemuOutcome::Wrote8F() const {
  return std::any_of(postCodes.begin(), postCodes.end(), [](const PostCodeRun& r) { return r.code == POST_CODE_FAILED; });
}

namespace {

const char* ExceptionName(uint8_t vector) {
  static constexpr const char* NAMES[] = {
      "#DE, divide error", "#DB, debug", "NMI", "#BP, breakpoint", "#OF, overflow", "#BR, bound range",
      "#UD, invalid opcode", "#NM, no math coprocessor", "#DF, double fault", "coprocessor segment overrun",
      "#TS, invalid TSS", "#NP, segment not present", "#SS, stack fault", "#GP, general protection",
      "#PF, page fault", "reserved", "#MF, x87 floating point", "#AC, alignment check", "#MC, machine check",
      "#XM, SIMD floating point", "#VE, virtualization", "#CP, control protection"};
  return vector < std::size(NAMES) ? NAMES[vector] : "reserved";
}

bool Proven(const ModuleEvidence& e) { return e.entryStatus && e.endOfPeiStatus == 0u; }

}  // namespace

Verdict VerdictOf(const QemuOutcome& o) {
  if (o.end == QemuEnd::Halted || o.end == QemuEnd::Flooded || o.end == QemuEnd::Faulted) return Verdict::Fail;
  if (o.end != QemuEnd::ReachedBoot || o.Wrote8F() || !o.watchProblem.empty()) return Verdict::NotRun;
  const bool proven = !o.modules.empty() && std::all_of(o.modules.begin(), o.modules.end(), Proven);
  return proven ? Verdict::Pass : Verdict::Fail;
}

std::string ReasonOf(const QemuOutcome& o) {
  if (!o.watchProblem.empty() && VerdictOf(o) != Verdict::Fail)
    return "the module could not be watched: " + o.watchProblem;
  switch (o.end) {
    case QemuEnd::Halted: return "POST code 0x8F on port 0x80, then the halt loop";
    case QemuEnd::Flooded:
      return fmt::format("more than {} port writes without reaching the boot manager: the firmware is stuck in a loop",
                         MAX_PORT_WRITES);
    case QemuEnd::Faulted:
      for (const ModuleEvidence& e : o.modules)
        if (e.faultVector)
          return fmt::format("the module took exception {} ({}) at {}", *e.faultVector, ExceptionName(*e.faultVector),
                             common::Hex(e.faultAddress.value_or(0), 8));
      return "the module took an exception";
    case QemuEnd::TimedOut: return "neither the boot manager nor POST code 0x8F with a halt";
    case QemuEnd::Exited: {
      const std::string first = o.qemuErrors.substr(0, o.qemuErrors.find('\n'));
      return fmt::format("QEMU exited with status {}{}", o.exitStatus.value_or(-1), first.empty() ? "" : ": " + first);
    }
    case QemuEnd::ReachedBoot: break;
  }
  if (o.Wrote8F()) return "POST code 0x8F was written, yet the firmware went on to the boot manager";
  const auto never = [&](auto&& unproven) { return std::find_if(o.modules.begin(), o.modules.end(), unproven); };
  if (o.modules.empty() || never([](const ModuleEvidence& e) { return !e.ranAt; }) != o.modules.end())
    return "the module never ran: the board booted without the check";
  if (const auto e = never([](const ModuleEvidence& e) { return !e.endOfPeiStatus; }); e != o.modules.end())
    return "the module's end-of-PEI check never returned: the board booted without the check";
  if (const auto e = never([](const ModuleEvidence& e) { return !Proven(e); }); e != o.modules.end())
    return "the module's end-of-PEI check returned " + common::Hex(*e->endOfPeiStatus, 8);
  return {};
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
  // A code part that is not found whole is checked from its first volume on,
  // so the refusal names the volume and the field at fault.
  const std::optional<size_t> from = code ? code : FirstFfsVolume(image);
  if (from && *from > 0) {
    try {
      firmware::CheckCodePart(image.subspan(*from));
    } catch (const firmware::FirmwareError& e) {
      throw QemuError("its firmware code part at " + common::Hex(*from) + " would not boot: " + e.what());
    }
  }
  if (!code || *code == 0)
    throw QemuError("the image does not end in a firmware's code part: no run of firmware volumes reaches 4 GiB "
                    "with other flash below it");
  const QemuMachine machine = options.machine ? *options.machine : QemuMachineFor(image.subspan(*code));
  const std::string qemu = FindProgram(machine.program);
  QemuOutcome outcome;
  outcome.codeSize = static_cast<uint32_t>(image.size() - *code);
  outcome.lowerSize = static_cast<uint32_t>(*code);

  WorkDir dir;
  TracePipe tracePipe(dir.File("trace.pipe"));
  if (::mkfifo(dir.File("ram.pipe").c_str(), 0600) != 0) throw QemuError("cannot create a pipe in " + dir.File(""));
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
      "-trace", "memory_region_ops_write", "-D", dir.File("trace.pipe")});
  // Either a debugger of one's own, or the watch of the modules; both start
  // the guest stopped until they have set their breakpoints.
  if (options.gdbPort) {
    args.insert(args.end(), {"-S", "-gdb", "tcp:127.0.0.1:" + std::to_string(*options.gdbPort)});
  } else {
    args.insert(args.end(), {"-S", "-chardev", "socket,id=watch,server=on,wait=off,path=" + dir.File("gdb.sock"),
                             "-gdb", "chardev:watch"});
  }

  const SignalGuard signals;
  const auto start = Clock::now();
  Child child(qemu, args, dir.File("qemu.err"));
  std::optional<ModuleWatch> watch;
  if (!options.gdbPort) {
    const bool wide = qemu.ends_with("x86_64");
    watch.emplace(WatchSetup{dir.File("gdb.sock"), dir.File("monitor.sock"), dir.File("ram.pipe"), QEMU_RAM_MIB << 20,
                             wide ? X86_64_STUB : I386_STUB, options.modules});
  }
  Tail serial(dir.File("serial.log"));
  std::string partialLine;
  auto lastActivity = Clock::now();
  std::optional<double> postCodeAt;  // when 0x8F was first seen
  for (;;) {
    std::this_thread::sleep_for(POLL);
    if (const int signal = SignalGuard::Caught())
      throw QemuError("interrupted by signal " + std::to_string(signal) + "; QEMU stopped");
    const std::optional<int> exited = child.Exited();
    bool active = false;
    std::string text = partialLine + tracePipe.More(TRACE_BYTES_PER_POLL);
    size_t lineStart = 0;
    for (size_t end; (end = text.find('\n', lineStart)) != std::string::npos; lineStart = end + 1) {
      const auto write = ParsePortWrite(std::string_view(text).substr(lineStart, end - lineStart));
      if (!write) continue;
      active = true;
      ++outcome.portWriteCount;
      if (write->port == POST_CODE_PORT) {
        const auto code = static_cast<uint8_t>(write->value);
        ++outcome.postCodeCount;
        if (outcome.postCodes.empty() || outcome.postCodes.back().code != code)
          outcome.postCodes.push_back({code, 1});
        else
          ++outcome.postCodes.back().times;
      }
      if (IsPitPort(write->port) && outcome.pitWriteCount++ < KEPT_PORT_WRITES) outcome.pitWrites.push_back(*write);
    }
    partialLine = text.substr(lineStart);
    if (outcome.portWriteCount > MAX_PORT_WRITES) {
      outcome.end = QemuEnd::Flooded;
      break;
    }
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
    if (watch && watch->Failed()) break;  // the guest may be held at a breakpoint: no verdict
    if (watch && watch->Faulted()) {
      outcome.end = QemuEnd::Faulted;
      break;
    }
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
  if (watch) {
    outcome.modules = watch->Finish();
    outcome.watchProblem = watch->Problem();
  }
  outcome.exitStatus = child.Stop();
  std::ifstream errors(dir.File("qemu.err"));
  outcome.qemuErrors.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  if (outcome.end == QemuEnd::Exited && outcome.exitStatus == 127 && outcome.qemuErrors.empty())
    throw QemuError("cannot run " + qemu);
  return outcome;
}

}  // namespace runners
