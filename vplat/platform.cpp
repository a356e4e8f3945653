#include "vplat/platform.h"

#include <cstdio>
#include <cstdlib>

namespace vplat {
namespace {

Platform* current = nullptr;

}  // namespace

Platform::Platform() {
  memory.MapRam(0, RAM_SIZE);
  pei.Install();
}

void Platform::Restart() {
  log.Clear();
  memory.Restart();
  pei.Install();
  halted_ = false;
  postCodes_.clear();
}

uint32_t Platform::PortIn(uint16_t port, uint8_t width) {
  AdvancePitClocks(PIT_CLOCKS_PER_PORT_ACCESS);
  auto it = ports_.find(port);
  // Nobody answers: the bus floats high.
  const uint32_t value = it != ports_.end() ? it->second->In(port, width)
                                            : (width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu);
  log.Record({AccessKind::PortRead, port, width, value});
  return value;
}

void Platform::PortOut(uint16_t port, uint8_t width, uint32_t value) {
  AdvancePitClocks(PIT_CLOCKS_PER_PORT_ACCESS);
  log.Record({AccessKind::PortWrite, port, width, value});
  auto it = ports_.find(port);
  if (it != ports_.end()) it->second->Out(port, width, value);
}

uint64_t Platform::Tsc() const {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(pitClocks_) * tscHz_ / PIT_INPUT_HZ);
}

void Platform::NoteHalt() {
  if (halted_) return;
  halted_ = true;
  log.Record({AccessKind::Halt});
}

Platform& Current() {
  if (current == nullptr) {
    std::fputs("vplat: module code ran with no current platform\n", stderr);
    std::abort();
  }
  return *current;
}

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(current) { current = &platform; }
ScopedPlatform::~ScopedPlatform() { current = previous_; }

}  // namespace vplat
