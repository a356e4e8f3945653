#include "module/check/failure_trace_line.h"

#include "module/check/end_of_pei.h"
#include "module/print/print.h"
#include "module/trace/trace.h"

namespace {

// LF CR on purpose: the formatter turns the pair into one CR LF line end.
const char FAILURE_LINE_FORMAT[] = "TraceHub : POSTCODE=<%02x>\n\r";

}  // namespace

void SendFailureTraceLine(char (&buffer)[TRACE_LINE_BUFFER_SIZE]) {
  const uint32_t length =
      PrintToBuffer(buffer, TRACE_LINE_BUFFER_SIZE, FAILURE_LINE_FORMAT, uint32_t{POST_CODE_VERIFY_FAILED});
  TraceWriteString(buffer, length);
}
