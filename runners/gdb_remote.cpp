#include "runners/gdb_remote.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <fmt/core.h>

#include "common/hex.h"
#include "runners/run_qemu.h"

namespace runners {
namespace {

constexpr int REPLY_TIMEOUT_MS = 5000;
constexpr int CONTINUE_POLL_MS = 100;

std::string Checksummed(const std::string& payload) {
  uint8_t sum = 0;
  for (char c : payload) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  char tail[4];
  std::snprintf(tail, sizeof tail, "#%02x", sum);
  return "$" + payload + tail;
}

uint8_t HexByte(const std::string& text, size_t at) {
  return static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16));
}

}  // namespace

GdbRemote::GdbRemote(const std::string& socketPath, double timeoutSeconds) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) throw QemuError("gdbstub socket path too long: " + socketPath);
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (std::chrono::steady_clock::now() >= deadline) throw QemuError("QEMU's gdbstub did not answer");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

GdbRemote::~GdbRemote() {
  if (fd_ >= 0) ::close(fd_);
}

void GdbRemote::Send(const std::string& packet) {
  const std::string framed = Checksummed(packet);
  for (size_t done = 0; done < framed.size();) {
    const ssize_t n = ::send(fd_, framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw QemuError("QEMU's gdbstub closed the connection");
    done += static_cast<size_t>(n);
  }
}

std::optional<std::string> GdbRemote::Receive(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Acknowledgements ('+') and anything before a packet are skipped.
    const size_t start = pending_.find('$');
    const size_t end = start == std::string::npos ? start : pending_.find('#', start);
    if (end != std::string::npos && end + 2 < pending_.size()) {
      std::string payload = pending_.substr(start + 1, end - start - 1);
      pending_.erase(0, end + 3);
      if (::send(fd_, "+", 1, MSG_NOSIGNAL) != 1) throw QemuError("QEMU's gdbstub closed the connection");
      return payload;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) throw QemuError("QEMU's gdbstub closed the connection");
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::string GdbRemote::Transact(const std::string& packet) {
  Send(packet);
  const std::optional<std::string> reply = Receive(REPLY_TIMEOUT_MS);
  if (!reply) throw QemuError("QEMU's gdbstub did not answer '" + packet.substr(0, 1) + "'");
  return *reply;
}

void GdbRemote::Insert(Point point, uint32_t address, uint32_t length) {
  const std::string reply = Transact(fmt::format("Z{},{:x},{:x}", static_cast<char>(point), address, length));
  if (reply != "OK") throw QemuError("QEMU's gdbstub refused a breakpoint at " + common::Hex(address, 8));
}

void GdbRemote::Remove(Point point, uint32_t address, uint32_t length) {
  Transact(fmt::format("z{},{:x},{:x}", static_cast<char>(point), address, length));
}

std::vector<uint8_t> GdbRemote::Registers() {
  const std::string reply = Transact("g");
  if (reply.empty() || reply.size() % 2 != 0 || reply[0] == 'E') throw QemuError("QEMU's gdbstub gave no registers");
  std::vector<uint8_t> bytes(reply.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = HexByte(reply, 2 * i);
  return bytes;
}

std::vector<uint8_t> GdbRemote::Memory(uint32_t address, uint32_t length) {
  const std::string reply = Transact(fmt::format("m{:x},{:x}", address, length));
  if (reply.size() != 2 * size_t{length}) throw QemuError("QEMU's gdbstub cannot read " + common::Hex(address, 8));
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = HexByte(reply, 2 * i);
  return bytes;
}

std::optional<std::string> GdbRemote::Continue(const std::atomic<bool>& stop) {
  Send("c");
  while (!stop) {
    if (std::optional<std::string> reply = Receive(CONTINUE_POLL_MS)) {
      if (!reply->empty() && (reply->front() == 'W' || reply->front() == 'X')) return std::nullopt;  // QEMU ended
      if (!reply->empty() && (reply->front() == 'T' || reply->front() == 'S')) return reply;
    }
  }
  return std::nullopt;
}

bool GdbRemote::Step() {
  Send("s");
  const std::optional<std::string> reply = Receive(REPLY_TIMEOUT_MS);
  return reply && !reply->empty() && (reply->front() == 'T' || reply->front() == 'S');
}

void GdbRemote::Detach() { Transact("D"); }

}  // namespace runners
