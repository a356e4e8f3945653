#include "vplat/pei_core.h"

#include <cstring>
#include <stdexcept>

namespace vplat {
namespace {

// PI's HOB header; the module's own copy of it is not used here, so that the
// two are checked against each other.
struct HobHeader {
  uint16_t type;
  uint16_t length;  // the whole HOB, header included
  uint32_t reserved;
};
static_assert(sizeof(HobHeader) == 8 && offsetof(HobHeader, length) == 2);
constexpr uint16_t HOB_HEADER_LENGTH = sizeof(HobHeader);
// The Phase Handoff Information Table opens every HOB list: PI's HOB type
// 0x0001, 56 bytes on IA-32 (the header, version and boot mode, five 64-bit
// memory bounds).
constexpr uint16_t HOB_TYPE_HANDOFF = 0x0001;
constexpr uint16_t PHIT_LENGTH = 56;
constexpr uint32_t GUID_HOB_NAME_AT = sizeof(HobHeader);  // EFI_HOB_GUID_TYPE: header, then the name
constexpr uint32_t GUID_HOB_DATA_AT = GUID_HOB_NAME_AT + sizeof(EFI_GUID);

HobHeader HeaderAt(const MemoryMap& memory, uint32_t at) {
  HobHeader header;
  memory.Peek(at, &header, sizeof header);
  return header;
}

void PutHeader(MemoryMap& memory, uint32_t at, uint16_t type, uint16_t length) {
  const HobHeader header{type, length, 0};
  memory.Poke(at, &header, sizeof header);
}
// A notify list ends with the descriptor that carries the terminate flag;
// 16 is far more than any module registers at once, and bounds a list whose
// flag never comes.
constexpr uint32_t MAX_NOTIFY_DESCRIPTORS = 16;

std::vector<uint32_t> GuidWords(const EFI_GUID& guid) {
  uint32_t words[4];
  std::memcpy(words, &guid, sizeof words);
  return {words[0], words[1], words[2], words[3]};
}

}  // namespace

const char* ServiceName(PeiService service) {
  switch (service) {
    case PeiService::NotifyPpi: return "NotifyPpi";
    case PeiService::GetHobList: return "GetHobList";
    case PeiService::CreateHob: return "CreateHob";
    case PeiService::AllocatePool: return "AllocatePool";
    case PeiService::Unknown: break;
  }
  return "UnknownService";
}

uint32_t ServiceOffset(PeiService service) {
  switch (service) {
    case PeiService::NotifyPpi: return PEI_SERVICE_NOTIFY_PPI;
    case PeiService::GetHobList: return PEI_SERVICE_GET_HOB_LIST;
    case PeiService::CreateHob: return PEI_SERVICE_CREATE_HOB;
    case PeiService::AllocatePool: return PEI_SERVICE_ALLOCATE_POOL;
    case PeiService::Unknown: break;
  }
  return 0;
}

uint32_t PeiCore::EntryAddress(PeiService service) const {
  return SERVICE_ENTRY_BASE + SERVICE_ENTRY_STRIDE * (static_cast<uint32_t>(service) + 1);
}

PeiService PeiCore::ServiceAt(uint32_t function) const {
  for (PeiService s : KNOWN_PEI_SERVICES)
    if (EntryAddress(s) == function) return s;
  return PeiService::Unknown;
}

void PeiCore::Install() {
  memory_.Poke32(IDT_BASE - 4, SERVICES_POINTER);
  memory_.Poke32(SERVICES_POINTER, SERVICES_TABLE);
  // Every slot the module does not use leads to the "unknown service" entry.
  for (uint32_t offset = 0; offset < SERVICES_TABLE_SIZE; offset += 4)
    memory_.Poke32(SERVICES_TABLE + offset, SERVICE_ENTRY_BASE);
  for (PeiService s : KNOWN_PEI_SERVICES) memory_.Poke32(SERVICES_TABLE + ServiceOffset(s), EntryAddress(s));

  // PHIT HOB (its fields beyond the header are not read by the module), then the end.
  uint8_t* list = memory_.Ram(HOB_LIST_BASE, HOB_LIST_LIMIT - HOB_LIST_BASE);
  std::memset(list, 0, HOB_LIST_LIMIT - HOB_LIST_BASE);
  PutHeader(memory_, HOB_LIST_BASE, HOB_TYPE_HANDOFF, PHIT_LENGTH);
  PutHeader(memory_, HOB_LIST_BASE + PHIT_LENGTH, EFI_HOB_TYPE_END_OF_HOB_LIST, HOB_HEADER_LENGTH);
  poolNext_ = POOL_BASE;
  registrations_.clear();
}

EFI_STATUS PeiCore::Dispatch(uint32_t function, ServiceArguments& a) {
  uint32_t out = 0;
  EFI_STATUS status = EFI_UNSUPPORTED;
  switch (ServiceAt(function)) {
    case PeiService::NotifyPpi: {
      std::vector<NotifyRegistration> list;
      for (uint32_t entry = 0; entry < MAX_NOTIFY_DESCRIPTORS; ++entry) {
        list.push_back(a.Descriptor(1, entry));
        if (list.back().flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) break;
      }
      return NotifyPpi(a.Word(0), std::move(list));
    }
    case PeiService::AllocatePool:
      if ((status = AllocatePool(a.Word(0), a.Word(1), &out)) == EFI_SUCCESS) a.Store(2, out);
      return status;
    case PeiService::GetHobList:
      if ((status = GetHobList(a.Word(0), &out)) == EFI_SUCCESS) a.Store(1, out);
      return status;
    case PeiService::CreateHob:
      status = CreateHob(a.Word(0), static_cast<uint16_t>(a.Word(1)), static_cast<uint16_t>(a.Word(2)), &out);
      if (status == EFI_SUCCESS) a.Store(3, out);
      return status;
    case PeiService::Unknown: break;
  }
  return UnknownService(function);
}

std::optional<EFI_STATUS> PeiCore::Failure(PeiService service) const {
  auto it = failures_.find(service);
  if (it == failures_.end()) return std::nullopt;
  return it->second;
}

EFI_STATUS PeiCore::NotifyPpi(uint32_t services, std::vector<NotifyRegistration> list) {
  std::vector<uint32_t> args{services};
  for (const auto& entry : list) {
    args.push_back(entry.flags);
    for (uint32_t w : GuidWords(entry.guid)) args.push_back(w);
  }
  const EFI_STATUS status = Failure(PeiService::NotifyPpi).value_or(EFI_SUCCESS);
  if (status == EFI_SUCCESS)
    for (auto& entry : list) registrations_.push_back(std::move(entry));
  log_.Record({AccessKind::Service, 0, 0, status, PeiService::NotifyPpi, std::move(args)});
  return status;
}

EFI_STATUS PeiCore::AllocatePool(uint32_t services, uint32_t size, uint32_t* block) {
  EFI_STATUS status = Failure(PeiService::AllocatePool).value_or(EFI_SUCCESS);
  const uint32_t rounded = (size + 7u) & ~7u;
  if (status == EFI_SUCCESS && (rounded < size || rounded > POOL_LIMIT - poolNext_))
    status = EFI_OUT_OF_RESOURCES;
  uint32_t out = 0;
  if (status == EFI_SUCCESS) {
    out = poolNext_;
    poolNext_ += rounded;
    *block = out;
  }
  log_.Record({AccessKind::Service, 0, 0, status, PeiService::AllocatePool, {services, size, out}});
  return status;
}

EFI_STATUS PeiCore::GetHobList(uint32_t services, uint32_t* hobList) {
  const EFI_STATUS status = Failure(PeiService::GetHobList).value_or(EFI_SUCCESS);
  if (status == EFI_SUCCESS) *hobList = HOB_LIST_BASE;
  log_.Record({AccessKind::Service, 0, 0, status, PeiService::GetHobList,
               {services, status == EFI_SUCCESS ? HOB_LIST_BASE : 0}});
  return status;
}

EFI_STATUS PeiCore::CreateHob(uint32_t services, uint16_t type, uint16_t length, uint32_t* hob) {
  EFI_STATUS status = Failure(PeiService::CreateHob).value_or(EFI_SUCCESS);
  uint32_t out = 0;
  if (status == EFI_SUCCESS) {
    out = AppendHob(type, length);
    if (out == 0) status = EFI_OUT_OF_RESOURCES;
    else *hob = out;
  }
  log_.Record({AccessKind::Service, 0, 0, status, PeiService::CreateHob, {services, type, length, out}});
  return status;
}

EFI_STATUS PeiCore::UnknownService(uint32_t function) {
  log_.Record({AccessKind::Service, 0, 0, EFI_UNSUPPORTED, PeiService::Unknown, {function}});
  return EFI_UNSUPPORTED;
}

std::optional<EFI_STATUS> PeiCore::SignalEndOfPei() {
  std::optional<EFI_STATUS> last;
  notificationsRun_ = 0;
  // Index loop: a notification may register further ones.
  for (size_t i = 0; i < registrations_.size(); ++i) {
    const auto& r = registrations_[i];
    if ((r.flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) == 0) continue;
    if (std::memcmp(&r.guid, &END_OF_PEI_PPI_GUID, sizeof(EFI_GUID)) != 0) continue;
    ++notificationsRun_;
    // A copy: a notification may register further ones, which moves the list.
    const auto notify = r.notify;
    last = notify(SERVICES_POINTER, 0);
    if (!last) break;  // it never returned: the processor is still in it
  }
  return last;
}

uint32_t PeiCore::EndOfHobList() const {
  uint32_t at = HOB_LIST_BASE;
  while (at + HOB_HEADER_LENGTH <= HOB_LIST_LIMIT) {
    const HobHeader header = HeaderAt(memory_, at);
    if (header.type == EFI_HOB_TYPE_END_OF_HOB_LIST || header.length == 0) return at;
    at += header.length;
  }
  return HOB_LIST_LIMIT;
}

uint32_t PeiCore::AppendHob(uint16_t type, uint16_t length) {
  // HOB lengths are kept multiples of 8, as PI requires.
  const uint32_t rounded = (uint32_t{length} + 7u) & ~7u;
  const uint32_t at = EndOfHobList();
  if (rounded < HOB_HEADER_LENGTH || at + rounded + HOB_HEADER_LENGTH > HOB_LIST_LIMIT) return 0;
  std::memset(memory_.Ram(at, rounded + HOB_HEADER_LENGTH), 0, rounded + HOB_HEADER_LENGTH);
  PutHeader(memory_, at, type, static_cast<uint16_t>(rounded));
  PutHeader(memory_, at + rounded, EFI_HOB_TYPE_END_OF_HOB_LIST, HOB_HEADER_LENGTH);
  return at;
}

void PeiCore::AddGuidHob(const EFI_GUID& name, const std::vector<uint8_t>& data) {
  const uint32_t at = AppendHob(EFI_HOB_TYPE_GUID_EXTENSION, static_cast<uint16_t>(GUID_HOB_DATA_AT + data.size()));
  if (at == 0) throw std::length_error("HOB list full");
  memory_.Poke(at + GUID_HOB_NAME_AT, &name, sizeof name);
  if (!data.empty()) memory_.Poke(at + GUID_HOB_DATA_AT, data.data(), static_cast<uint32_t>(data.size()));
}

void PeiCore::AddTscFrequencyHob(uint64_t hz) {
  std::vector<uint8_t> data(sizeof hz);
  std::memcpy(data.data(), &hz, sizeof hz);
  AddGuidHob(TSC_FREQUENCY_HOB_GUID, data);
}

std::vector<Hob> PeiCore::Hobs() const {
  std::vector<Hob> hobs;
  uint32_t at = HOB_LIST_BASE;
  while (at + HOB_HEADER_LENGTH <= HOB_LIST_LIMIT) {
    const HobHeader header = HeaderAt(memory_, at);
    if (header.type == EFI_HOB_TYPE_END_OF_HOB_LIST || header.length < HOB_HEADER_LENGTH) break;
    Hob hob{at, header.type, header.length, std::vector<uint8_t>(header.length)};
    memory_.Peek(at, hob.bytes.data(), header.length);
    at += header.length;
    hobs.push_back(std::move(hob));
  }
  return hobs;
}

}  // namespace vplat
