// Host backend of the hardware seam: every primitive acts on the current
// virtual platform.
#include "module/hw/hw.h"
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

// Not logged: they touch no bus, and the emulated binary runs the real
// instructions, which its access log cannot see either.
CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) { return Current().cpu.Cpuid(leaf, subleaf); }
uint32_t ReadCr4() { return Current().cpu.cr4; }

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
// been set.
uint32_t ReadHaltFlag(const volatile uint32_t*) {
  Current().NoteHalt();
  return 1;
}

EFI_STATUS CallNotifyPpi(PhysAddr function, PhysAddr services,
                         const EFI_PEI_NOTIFY_DESCRIPTOR* notifyList) {
  auto& pei = Current().pei;
  if (pei.ServiceAt(Raw(function)) != vplat::PeiService::NotifyPpi) return pei.UnknownService(Raw(function));
  std::vector<vplat::NotifyRegistration> list;
  // A list ends with the descriptor that carries the terminate flag; 16 is
  // far more than any module registers at once.
  for (int i = 0; i < 16; ++i) {
    const EFI_PEI_NOTIFY_DESCRIPTOR* d = &notifyList[i];
    list.push_back({d->Flags, *d->Guid, [d] { return d->Notify(nullptr, d, nullptr); }});
    if (d->Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) break;
  }
  return pei.NotifyPpi(Raw(services), std::move(list));
}

EFI_STATUS CallAllocatePool(PhysAddr function, PhysAddr services, uint32_t size, PhysAddr* block) {
  auto& pei = Current().pei;
  if (pei.ServiceAt(Raw(function)) != vplat::PeiService::AllocatePool) return pei.UnknownService(Raw(function));
  uint32_t out;
  const EFI_STATUS status = pei.AllocatePool(Raw(services), size, &out);
  if (status == EFI_SUCCESS) *block = Phys(out);
  return status;
}

EFI_STATUS CallGetHobList(PhysAddr function, PhysAddr services, PhysAddr* hobList) {
  auto& pei = Current().pei;
  if (pei.ServiceAt(Raw(function)) != vplat::PeiService::GetHobList) return pei.UnknownService(Raw(function));
  uint32_t out;
  const EFI_STATUS status = pei.GetHobList(Raw(services), &out);
  if (status == EFI_SUCCESS) *hobList = Phys(out);
  return status;
}

EFI_STATUS CallCreateHob(PhysAddr function, PhysAddr services, uint16_t type, uint16_t length,
                         PhysAddr* hob) {
  auto& pei = Current().pei;
  if (pei.ServiceAt(Raw(function)) != vplat::PeiService::CreateHob) return pei.UnknownService(Raw(function));
  uint32_t out;
  const EFI_STATUS status = pei.CreateHob(Raw(services), type, length, &out);
  if (status == EFI_SUCCESS) *hob = Phys(out);
  return status;
}

}  // namespace hw
