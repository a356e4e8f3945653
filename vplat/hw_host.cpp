// Host backend of the hardware seam: every primitive acts on the current
// virtual platform.
#include "module/hw/hw.h"
#include <initializer_list>
#include <optional>
#include <vector>

#include "vplat/platform.h"

namespace hw {

using vplat::Current;

uint8_t In8(uint16_t port) { return static_cast<uint8_t>(Current().PortIn(port, 1)); }
void Out8(uint16_t port, uint8_t value) { Current().PortOut(port, 1, value); }
uint16_t In16(uint16_t port) { return static_cast<uint16_t>(Current().PortIn(port, 2)); }
void Out16(uint16_t port, uint16_t value) { Current().PortOut(port, 2, value); }

uint64_t ReadTsc() { return Current().Tsc(); }

bool InterruptsEnabled() { return Current().interruptsEnabled; }
void DisableInterrupts() { Current().interruptsEnabled = false; }
void EnableInterrupts() { Current().interruptsEnabled = true; }

PhysAddr IdtBase() { return Phys(Current().idtBase); }

uint8_t Read8(PhysAddr address) { return static_cast<uint8_t>(Current().memory.Read(Raw(address), 1)); }
uint16_t Read16(PhysAddr address) { return static_cast<uint16_t>(Current().memory.Read(Raw(address), 2)); }
uint32_t Read32(PhysAddr address) { return Current().memory.Read(Raw(address), 4); }
void Write8(PhysAddr address, uint8_t value) { Current().memory.Write(Raw(address), 1, value); }
void Write16(PhysAddr address, uint16_t value) { Current().memory.Write(Raw(address), 2, value); }
void Write32(PhysAddr address, uint32_t value) { Current().memory.Write(Raw(address), 4, value); }

const uint8_t* Bytes(PhysAddr address, uint32_t length) {
  return Current().memory.Bytes(Raw(address), length);
}

uint8_t* MutableBytes(PhysAddr address, uint32_t length) {
  return Current().memory.MutableBytes(Raw(address), length);
}

// The platform observes the halt and releases the loop at once, so a test
// never hangs; the module then returns from the callback as if the flag had
// been set, and the End-of-PEI signal counts the notification as not
// returned.
uint32_t ReadHaltFlag(const volatile uint32_t*) {
  Current().NoteHalt();
  return 1;
}

namespace {

// A service call's arguments as the module handed them over: words in order,
// out-pointers by index, and for NotifyPpi the host's descriptor list.
class HostArguments : public vplat::ServiceArguments {
 public:
  HostArguments(std::initializer_list<uint32_t> words, std::initializer_list<PhysAddr*> outs = {},
                const EFI_PEI_NOTIFY_DESCRIPTOR* list = nullptr)
      : words_(words), outs_(outs), list_(list) {}

  uint32_t Word(int index) override { return words_.at(static_cast<size_t>(index)); }

  // Out-pointers follow the words.
  void Store(int index, uint32_t value) override {
    *outs_.at(static_cast<size_t>(index) - words_.size()) = Phys(value);
  }

  vplat::NotifyRegistration Descriptor(int, uint32_t entry) override {
    const EFI_PEI_NOTIFY_DESCRIPTOR* d = &list_[entry];
    return {d->Flags, *d->Guid, [d](uint32_t services, uint32_t ppi) -> std::optional<EFI_STATUS> {
              // The module takes the arguments as host pointers and ignores them.
              const EFI_STATUS status = d->Notify(reinterpret_cast<const void*>(uintptr_t{services}), d,
                                                  reinterpret_cast<void*>(uintptr_t{ppi}));
              if (Current().Halted()) return std::nullopt;
              return status;
            }};
  }

 private:
  std::vector<uint32_t> words_;
  std::vector<PhysAddr*> outs_;
  const EFI_PEI_NOTIFY_DESCRIPTOR* list_;
};

EFI_STATUS Dispatch(PhysAddr function, HostArguments arguments) {
  return Current().pei.Dispatch(Raw(function), arguments);
}

}  // namespace

EFI_STATUS CallNotifyPpi(PhysAddr function, PhysAddr services, const EFI_PEI_NOTIFY_DESCRIPTOR* notifyList) {
  return Dispatch(function, HostArguments({Raw(services)}, {}, notifyList));
}

EFI_STATUS CallAllocatePool(PhysAddr function, PhysAddr services, uint32_t size, PhysAddr* block) {
  return Dispatch(function, HostArguments({Raw(services), size}, {block}));
}

EFI_STATUS CallGetHobList(PhysAddr function, PhysAddr services, PhysAddr* hobList) {
  return Dispatch(function, HostArguments({Raw(services)}, {hobList}));
}

EFI_STATUS CallCreateHob(PhysAddr function, PhysAddr services, uint16_t type, uint16_t length, PhysAddr* hob) {
  return Dispatch(function, HostArguments({Raw(services), type, length}, {hob}));
}

}  // namespace hw
