// The PEI services the module calls, as one vocabulary for the PEI core
// model, the access log and every report.
#pragma once

#include <cstdint>

namespace vplat {

// Unknown: a call through any other slot of the services table.
enum class PeiService : uint8_t { NotifyPpi, GetHobList, CreateHob, AllocatePool, Unknown };

inline constexpr PeiService KNOWN_PEI_SERVICES[] = {PeiService::NotifyPpi, PeiService::GetHobList,
                                                   PeiService::CreateHob, PeiService::AllocatePool};

// "NotifyPpi", ..., "UnknownService".
const char* ServiceName(PeiService service);

// Byte offset of the service's function pointer in the services table (IA-32).
uint32_t ServiceOffset(PeiService service);

}  // namespace vplat
