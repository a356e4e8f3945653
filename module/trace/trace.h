// Trace output, as other subsystems see it: one line
// of text sent as one SyS-T string message on trace hub master 32, channel 14.
#pragma once

#include "module/types/efi_types.h"

// Sends `text` as one debug string message with the origin GUID
// 23a3e7ba-75d1-4cb9-9c8f-56fa4e48d99e. Only the low 16 bits of `length`
// count. A length of 1 to 65535 sends that many bytes behind a 16-bit length
// field, straight from `text`, which need not be zero-terminated. A length of
// 0 sends the inline form: exactly 24 bytes, `text` up to and including its
// first zero byte and zeros after it, so `text` must hold a zero byte within
// its first 24 bytes or be at least 24 bytes long.
//
// Every call probes the trace hub afresh; without a usable one nothing
// reaches the hardware. Always returns EFI_SUCCESS.
EFI_STATUS TraceWriteString(const void* text, uint32_t length);
