// One virtual machine: the physical address space, the port space, simulated
// time with the TSC derived from it, the interrupt flag, IDTR, CPUID and CR4,
// the PEI core model, and the access log that all of them write into.
//
// vplat keeps its own copies of the platform's numbers (addresses, ports,
// register and record layouts, the image layout in flash_image.h) and shares
// only the module's types: it is the platform the module is checked against,
// so a wrong number in the module shows up as a disagreement, never as the
// two agreeing on the same mistake.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "vplat/access_log.h"
#include "vplat/cpu_state.h"
#include "vplat/device.h"
#include "vplat/memory_map.h"
#include "vplat/pei_core.h"

namespace vplat {

// The 8254's input clock: 1.193182 MHz.
inline constexpr uint64_t PIT_INPUT_HZ = 1193182;
// Simulated time advances only through port accesses, each taking exactly one
// PIT input clock (about 0.84 us, close to a real ISA-bus I/O cycle).
inline constexpr uint64_t PIT_CLOCKS_PER_PORT_ACCESS = 1;

class Platform {
 public:
  Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  AccessLog log;
  MemoryMap memory{log};
  PeiCore pei{memory, log};

  // Devices live as long as the platform.
  template <typename D, typename... Args>
  D& AddDevice(Args&&... args) {
    auto device = std::make_unique<D>(std::forward<Args>(args)...);
    D& ref = *device;
    devices_.push_back(std::move(device));
    return ref;
  }
  void MapPort(uint16_t port, PortDevice* device) { ports_[port] = device; }

  // Port I/O as the processor does it: logged, and one step of simulated time.
  uint32_t PortIn(uint16_t port, uint8_t width);
  void PortOut(uint16_t port, uint8_t width, uint32_t value);

  // Simulated time, in PIT input clocks since power-on.
  uint64_t PitClocks() const { return pitClocks_; }
  void AdvancePitClocks(uint64_t clocks) { pitClocks_ += clocks; }
  // The TSC counts at tscHz from 0 at power-on: floor(PitClocks * tscHz / PIT_INPUT_HZ).
  void SetTscHz(uint64_t hz) { tscHz_ = hz; }
  uint64_t TscHz() const { return tscHz_; }
  uint64_t Tsc() const;

  bool interruptsEnabled = true;
  uint32_t idtBase = IDT_BASE;
  CpuState cpu;

  // Readies the platform for another run without giving up its memory: the
  // log, the halt, the POST codes and the memory map's scratch copies start
  // anew, and the PEI core lays out its data again (services table, an empty
  // HOB list and pool, no registrations). Mapped regions and the rest of
  // their bytes, devices and their state, service failures, the TSC rate and
  // the interrupt flag stay as they are, and time runs on (the devices count
  // on it never going back).
  void Restart();

  // The halt loop was reached: recorded once in the log.
  void NoteHalt();
  bool Halted() const { return halted_; }

  // Every byte written to port 0x80, in order (the POST code display).
  const std::vector<uint8_t>& PostCodes() const { return postCodes_; }
  void RecordPostCode(uint8_t code) { postCodes_.push_back(code); }

 private:
  std::vector<std::shared_ptr<void>> devices_;
  std::map<uint16_t, PortDevice*> ports_;
  uint64_t pitClocks_ = 0;
  uint64_t tscHz_ = 2'400'000'000;
  bool halted_ = false;
  std::vector<uint8_t> postCodes_;
};

// The platform that the host backend of the seam acts on.
Platform& Current();

// Makes a platform current for its lifetime; scopes nest.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace vplat
