#include "vplat/pei_core.h"

#include <cstring>
#include <stdexcept>

namespace vplat {
namespace {

constexpr uint16_t HOB_TYPE_HANDOFF = 0x0001;
constexpr uint16_t PHIT_LENGTH = 56;
constexpr uint16_t HOB_HEADER_LENGTH = 8;
constexpr PeiService ALL_SERVICES[] = {PeiService::NotifyPpi, PeiService::GetHobList,
                                       PeiService::CreateHob, PeiService::AllocatePool};

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
  for (PeiService s : ALL_SERVICES)
    if (EntryAddress(s) == function) return s;
  return PeiService::Unknown;
}

void PeiCore::Install() {
  memory_.Poke32(IDT_BASE - 4, SERVICES_POINTER);
  memory_.Poke32(SERVICES_POINTER, SERVICES_TABLE);
  // Every slot the module does not use leads to the "unknown service" entry.
  for (uint32_t offset = 0; offset < SERVICES_TABLE_SIZE; offset += 4)
    memory_.Poke32(SERVICES_TABLE + offset, SERVICE_ENTRY_BASE);
  for (PeiService s : ALL_SERVICES) memory_.Poke32(SERVICES_TABLE + ServiceOffset(s), EntryAddress(s));

  // PHIT HOB (its fields beyond the header are not read by the module), then the end.
  uint8_t* list = memory_.Ram(HOB_LIST_BASE, HOB_LIST_LIMIT - HOB_LIST_BASE);
  std::memset(list, 0, HOB_LIST_LIMIT - HOB_LIST_BASE);
  std::memcpy(list + 0, &HOB_TYPE_HANDOFF, 2);
  std::memcpy(list + 2, &PHIT_LENGTH, 2);
  const uint16_t end = EFI_HOB_TYPE_END_OF_HOB_LIST, endLength = HOB_HEADER_LENGTH;
  std::memcpy(list + PHIT_LENGTH, &end, 2);
  std::memcpy(list + PHIT_LENGTH + 2, &endLength, 2);
  poolNext_ = POOL_BASE;
  registrations_.clear();
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
  log_.Record({AccessKind::Service, 0, 0, status, "NotifyPpi", std::move(args)});
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
  log_.Record({AccessKind::Service, 0, 0, status, "AllocatePool", {services, size, out}});
  return status;
}

EFI_STATUS PeiCore::GetHobList(uint32_t services, uint32_t* hobList) {
  const EFI_STATUS status = Failure(PeiService::GetHobList).value_or(EFI_SUCCESS);
  if (status == EFI_SUCCESS) *hobList = HOB_LIST_BASE;
  log_.Record({AccessKind::Service, 0, 0, status, "GetHobList",
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
  log_.Record({AccessKind::Service, 0, 0, status, "CreateHob", {services, type, length, out}});
  return status;
}

EFI_STATUS PeiCore::UnknownService(uint32_t function) {
  log_.Record({AccessKind::Service, 0, 0, EFI_UNSUPPORTED, "UnknownService", {function}});
  return EFI_UNSUPPORTED;
}

std::optional<EFI_STATUS> PeiCore::SignalEndOfPei() {
  std::optional<EFI_STATUS> last;
  // Index loop: a notification may register further ones.
  for (size_t i = 0; i < registrations_.size(); ++i) {
    const auto& r = registrations_[i];
    if ((r.flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK) == 0) continue;
    if (std::memcmp(&r.guid, &END_OF_PEI_PPI_GUID, sizeof(EFI_GUID)) != 0) continue;
    last = registrations_[i].invoke();
  }
  return last;
}

uint32_t PeiCore::EndOfHobList() const {
  uint32_t at = HOB_LIST_BASE;
  while (at + HOB_HEADER_LENGTH <= HOB_LIST_LIMIT) {
    uint8_t header[4];
    memory_.Peek(at, header, 4);
    const uint16_t type = static_cast<uint16_t>(header[0] | header[1] << 8);
    const uint16_t length = static_cast<uint16_t>(header[2] | header[3] << 8);
    if (type == EFI_HOB_TYPE_END_OF_HOB_LIST || length == 0) return at;
    at += length;
  }
  return HOB_LIST_LIMIT;
}

uint32_t PeiCore::AppendHob(uint16_t type, uint16_t length) {
  // HOB lengths are kept multiples of 8, as the PI specification requires.
  const uint32_t rounded = (uint32_t{length} + 7u) & ~7u;
  const uint32_t at = EndOfHobList();
  if (rounded < HOB_HEADER_LENGTH || at + rounded + HOB_HEADER_LENGTH > HOB_LIST_LIMIT) return 0;
  uint8_t* hob = memory_.Ram(at, rounded + HOB_HEADER_LENGTH);
  std::memset(hob, 0, rounded + HOB_HEADER_LENGTH);
  const uint16_t length16 = static_cast<uint16_t>(rounded);
  std::memcpy(hob, &type, 2);
  std::memcpy(hob + 2, &length16, 2);
  const uint16_t end = EFI_HOB_TYPE_END_OF_HOB_LIST, endLength = HOB_HEADER_LENGTH;
  std::memcpy(hob + rounded, &end, 2);
  std::memcpy(hob + rounded + 2, &endLength, 2);
  return at;
}

void PeiCore::AddGuidHob(const EFI_GUID& name, const std::vector<uint8_t>& data) {
  const uint32_t at = AppendHob(EFI_HOB_TYPE_GUID_EXTENSION, static_cast<uint16_t>(24 + data.size()));
  if (at == 0) throw std::length_error("HOB list full");
  memory_.Poke(at + 8, &name, sizeof name);
  if (!data.empty()) memory_.Poke(at + 24, data.data(), static_cast<uint32_t>(data.size()));
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
    Hob hob{at, 0, 0, {}};
    uint8_t header[4];
    memory_.Peek(at, header, 4);
    hob.type = static_cast<uint16_t>(header[0] | header[1] << 8);
    hob.length = static_cast<uint16_t>(header[2] | header[3] << 8);
    if (hob.type == EFI_HOB_TYPE_END_OF_HOB_LIST || hob.length < HOB_HEADER_LENGTH) break;
    hob.bytes.resize(hob.length);
    memory_.Peek(at, hob.bytes.data(), hob.length);
    at += hob.length;
    hobs.push_back(std::move(hob));
  }
  return hobs;
}

}  // namespace vplat
