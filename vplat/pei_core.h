// A model of the PEI core, as far as the module meets it: the services table
// reached through the word below the IDT, the four services the module calls
// (each can be told to fail with a given status), the HOB list, the pool, and
// the End-of-PEI signal that runs the registered notification.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "module/types/efi_types.h"
#include "vplat/access_log.h"
#include "vplat/memory_map.h"
#include "vplat/pei_service.h"

namespace vplat {

// Where the PEI core keeps its data in RAM. The same addresses serve the host
// build and the emulated binary, so both see identical pointers.
inline constexpr uint32_t RAM_SIZE = 0x01000000;             // 16 MiB from address 0
inline constexpr uint32_t SERVICE_ENTRY_BASE = 0x000C0000;   // one address per service
inline constexpr uint32_t SERVICE_ENTRY_STRIDE = 0x10;
inline constexpr uint32_t SERVICES_TABLE = 0x0000E000;       // EFI_PEI_SERVICES
inline constexpr uint32_t SERVICES_TABLE_SIZE = 0x100;
inline constexpr uint32_t SERVICES_POINTER = 0x0000F000;     // holds SERVICES_TABLE
inline constexpr uint32_t IDT_BASE = 0x00010000;             // word below holds SERVICES_POINTER
inline constexpr uint32_t HOB_LIST_BASE = 0x00100000;
inline constexpr uint32_t HOB_LIST_LIMIT = 0x00110000;
inline constexpr uint32_t POOL_BASE = 0x00200000;
inline constexpr uint32_t POOL_LIMIT = 0x00300000;
inline constexpr uint32_t STACK_TOP = 0x00800000;           // for the emulated CPU

// End of PEI Phase PPI GUID 605ea650-c65c-42e1-ba80-91a52ab618c6.
inline constexpr EFI_GUID END_OF_PEI_PPI_GUID = {
    0x605ea650, 0xc65c, 0x42e1, {0xba, 0x80, 0x91, 0xa5, 0x2a, 0xb6, 0x18, 0xc6}};

// The TSC frequency HOB (GUID dba6a7e3-bb57-4be7-8af8-d578db7e5687, 8 bytes
// of Hz), and the rate of one that a scenario places before the module runs.
inline constexpr EFI_GUID TSC_FREQUENCY_HOB_GUID = {
    0xdba6a7e3, 0xbb57, 0x4be7, {0x8a, 0xf8, 0xd5, 0x78, 0xdb, 0x7e, 0x56, 0x87}};
inline constexpr uint64_t PRESET_TSC_HZ = 1'600'000'000;

// One descriptor of a notify list, as the PEI core reads it. `notify` runs
// the notification function with the services pointer, the descriptor and
// the PPI (0 here) and gives its status, or nullopt when it did not return
// (it halted).
struct NotifyRegistration {
  uint32_t flags;
  EFI_GUID guid;
  std::function<std::optional<EFI_STATUS>(uint32_t services, uint32_t ppi)> notify;
};

// Where a service call's arguments come from: typed values handed over by
// the host backend of the seam, or the emulated CPU's stack. Argument 0 is
// the services pointer; a 16-bit argument arrives in the low half.
class ServiceArguments {
 public:
  virtual ~ServiceArguments() = default;
  virtual uint32_t Word(int index) = 0;
  // Stores `value` where the pointer argument `index` points.
  virtual void Store(int index, uint32_t value) = 0;
  // Descriptor `entry` of the notify list that argument `index` points to.
  virtual NotifyRegistration Descriptor(int index, uint32_t entry) = 0;
};

struct Hob {
  uint32_t address;
  uint16_t type;
  uint16_t length;
  std::vector<uint8_t> bytes;  // the whole HOB, header included
};

class PeiCore {
 public:
  PeiCore(MemoryMap& memory, AccessLog& log) : memory_(memory), log_(log) {}

  // Lays out the IDT pointer word, the services table and an empty HOB list
  // (PHIT, end), and starts with an empty pool and no registrations. Memory
  // must already map RAM.
  void Install();

  void FailService(PeiService service, EFI_STATUS status) { failures_[service] = status; }

  // Which service a function address from the table names.
  PeiService ServiceAt(uint32_t function) const;
  uint32_t EntryAddress(PeiService service) const;

  // A call through the services table to `function`: identifies the service,
  // takes its arguments, and stores its out-value only on success. Every call
  // is logged with its arguments and outputs.
  EFI_STATUS Dispatch(uint32_t function, ServiceArguments& arguments);

  // The services themselves, as Dispatch calls them.
  EFI_STATUS NotifyPpi(uint32_t services, std::vector<NotifyRegistration> list);
  EFI_STATUS AllocatePool(uint32_t services, uint32_t size, uint32_t* block);
  EFI_STATUS GetHobList(uint32_t services, uint32_t* hobList);
  EFI_STATUS CreateHob(uint32_t services, uint16_t type, uint16_t length, uint32_t* hob);
  EFI_STATUS UnknownService(uint32_t function);

  // Installs the End of PEI Phase PPI: runs the notifications registered for
  // it, in registration order, until one does not return. The status of the
  // last one, or nullopt when none was registered or the last one halted.
  std::optional<EFI_STATUS> SignalEndOfPei();
  // How many notifications the last signal started.
  size_t NotificationsRun() const { return notificationsRun_; }
  const std::vector<NotifyRegistration>& Registrations() const { return registrations_; }

  // HOB list access for scenarios and tests.
  void AddGuidHob(const EFI_GUID& name, const std::vector<uint8_t>& data);
  void AddTscFrequencyHob(uint64_t hz);
  std::vector<Hob> Hobs() const;

 private:
  std::optional<EFI_STATUS> Failure(PeiService service) const;
  uint32_t EndOfHobList() const;
  uint32_t AppendHob(uint16_t type, uint16_t length);  // 0 when the list is full

  MemoryMap& memory_;
  AccessLog& log_;
  std::map<PeiService, EFI_STATUS> failures_;
  std::vector<NotifyRegistration> registrations_;
  size_t notificationsRun_ = 0;
  uint32_t poolNext_ = POOL_BASE;
};

}  // namespace vplat
