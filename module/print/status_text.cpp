#include "module/print/print.h"

// Status names for %r and for the tools, after the names UEFI gives its
// status codes. StatusText below maps a code to its
// index, so the order is part of the interface.
const char* const StatusTextTable[STATUS_TEXT_COUNT] = {
    "Success",                   //  0  0x00000000
    "Warning Unknown Glyph",     //  1  0x00000001
    "Warning Delete Failure",    //  2  0x00000002
    "Warning Write Failure",     //  3  0x00000003
    "Warning Buffer Too Small",  //  4  0x00000004
    "Warning Stale Data",        //  5  0x00000005
    "Load Error",                //  6  0x80000001
    "Invalid Parameter",         //  7  0x80000002
    "Unsupported",               //  8  0x80000003
    "Bad Buffer Size",           //  9  0x80000004
    "Buffer Too Small",          // 10  0x80000005
    "Not Ready",                 // 11  0x80000006
    "Device Error",              // 12  0x80000007
    "Write Protected",           // 13  0x80000008
    "Out of Resources",          // 14  0x80000009
    "Volume Corrupt",            // 15  0x8000000A
    "Volume Full",               // 16  0x8000000B
    "No Media",                  // 17  0x8000000C
    "Media changed",             // 18  0x8000000D
    "Not Found",                 // 19  0x8000000E
    "Access Denied",             // 20  0x8000000F
    "No Response",               // 21  0x80000010
    "No mapping",                // 22  0x80000011
    "Time out",                  // 23  0x80000012
    "Not started",               // 24  0x80000013
    "Already started",           // 25  0x80000014
    "Aborted",                   // 26  0x80000015
    "ICMP Error",                // 27  0x80000016
    "TFTP Error",                // 28  0x80000017
    "Protocol Error",            // 29  0x80000018
    "Incompatible Version",      // 30  0x80000019
    "Security Violation",        // 31  0x8000001A
    "CRC Error",                 // 32  0x8000001B
    "End of Media",              // 33  0x8000001C
    "Reserved (29)",             // 34  0x8000001D
    "Reserved (30)",             // 35  0x8000001E
    "End of File",               // 36  0x8000001F
    "Invalid Language",          // 37  0x80000020
    "Compromised Data",          // 38  0x80000021
};

namespace {

constexpr uint32_t WARNING_COUNT = 5;                                // warnings 1 to 5
constexpr uint32_t ERROR_COUNT = STATUS_TEXT_COUNT - 1 - WARNING_COUNT;  // errors 1 to 33
constexpr uint32_t ERROR_BIT = 0x80000000u;

}  // namespace

const char* StatusText(EFI_STATUS status) {
  if (status <= WARNING_COUNT) return StatusTextTable[status];
  if ((status & ERROR_BIT) != 0) {
    const uint32_t code = status & ~ERROR_BIT;
    if (code >= 1 && code <= ERROR_COUNT) return StatusTextTable[code + WARNING_COUNT];
  }
  return nullptr;
}
