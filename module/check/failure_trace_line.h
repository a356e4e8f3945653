// The one line a failed check leaves on the trace hub, so a trace receiver
// sees the POST code that port 0x80 shows.
#pragma once

#include <stdint.h>

inline constexpr uint32_t TRACE_LINE_BUFFER_SIZE = 200;

// Formats "TraceHub : POSTCODE=<8F>\r\n" into `buffer` and sends it as one
// trace message. Best effort: nothing is reported back.
void SendFailureTraceLine(char (&buffer)[TRACE_LINE_BUFFER_SIZE]);
