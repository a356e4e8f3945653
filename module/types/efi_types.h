// Types shared by every subsystem of the module: status codes, GUIDs, the
// PI descriptor records the module hands to the PEI core, and physical
// addresses. Freestanding: fixed-width integers only.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t EFI_STATUS;
typedef uint8_t BOOLEAN;  // one byte: 1 true, 0 false

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = 0x80000002u;
inline constexpr EFI_STATUS EFI_UNSUPPORTED = 0x80000003u;
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = 0x80000009u;
inline constexpr EFI_STATUS EFI_NOT_FOUND = 0x8000000Eu;
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = 0x8000001Au;
inline constexpr EFI_STATUS EFI_CRC_ERROR = 0x8000001Bu;

// A status is an error when it is negative as a signed 32-bit number.
constexpr bool EfiError(EFI_STATUS status) { return (status & 0x80000000u) != 0; }

struct EFI_GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

// A 32-bit physical address of the platform. Never a host pointer: only the
// hardware seam turns one into something that can be dereferenced.
enum class PhysAddr : uint32_t {};

constexpr PhysAddr Phys(uint32_t value) { return static_cast<PhysAddr>(value); }
constexpr uint32_t Raw(PhysAddr address) { return static_cast<uint32_t>(address); }
// Address arithmetic wraps modulo 2^32, as the processor's does.
constexpr PhysAddr operator+(PhysAddr address, uint32_t offset) {
  return Phys(Raw(address) + offset);
}
constexpr PhysAddr operator-(PhysAddr address, uint32_t offset) {
  return Phys(Raw(address) - offset);
}
// True when [address, address + length) lies below 4 GiB without wrapping.
constexpr bool FitsBelow4G(PhysAddr address, uint32_t length) {
  return length == 0 || Raw(address) <= 0xFFFFFFFFu - (length - 1);
}
inline constexpr PhysAddr NULL_PHYS = Phys(0);

// PI records, laid out as on IA-32 when built for the target.
typedef void* EFI_PEI_FILE_HANDLE;

struct EFI_PEI_NOTIFY_DESCRIPTOR;
typedef EFI_STATUS (*EFI_PEIM_NOTIFY_ENTRY_POINT)(const void* PeiServices,
                                                   const EFI_PEI_NOTIFY_DESCRIPTOR* NotifyDescriptor,
                                                   void* Ppi);

struct EFI_PEI_NOTIFY_DESCRIPTOR {
  uint32_t Flags;
  const EFI_GUID* Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};

inline constexpr uint32_t EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK = 0x00000020u;
inline constexpr uint32_t EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST = 0x80000000u;

// Byte offsets of the services the module calls within EFI_PEI_SERVICES
// (IA-32: 24-byte table header, then 32-bit function pointers).
inline constexpr uint32_t PEI_SERVICE_NOTIFY_PPI = 0x24;
inline constexpr uint32_t PEI_SERVICE_GET_HOB_LIST = 0x30;
inline constexpr uint32_t PEI_SERVICE_CREATE_HOB = 0x34;
inline constexpr uint32_t PEI_SERVICE_ALLOCATE_POOL = 0x4C;

inline constexpr uint16_t EFI_HOB_TYPE_GUID_EXTENSION = 0x0004;
inline constexpr uint16_t EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFF;
