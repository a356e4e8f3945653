// A firmware code part and its variable store as `firmware add` and `image
// create --firmware` take them: the input is the code part's length (four
// bytes, little-endian), the code part, then the store. Both go through the
// tools' checks, and a code part they accept through the PEI-volume search
// and rebuild with nothing added. Nothing crashes or reads outside the input,
// every refusal is a FirmwareError, and a rebuilt code part keeps its size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "firmware/code_part.h"
#include "firmware/firmware_error.h"
#include "firmware/pei_insert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t codeSize;
  if (size < sizeof codeSize || size > (1u << 20)) return 0;
  std::memcpy(&codeSize, data, sizeof codeSize);
  const std::span<const uint8_t> rest(data + sizeof codeSize, size - sizeof codeSize);
  const std::span<const uint8_t> code = rest.first(std::min<size_t>(codeSize, rest.size()));
  const std::span<const uint8_t> vars = rest.subspan(code.size());
  try {
    firmware::CheckVariableStore(vars, code.size());
  } catch (const firmware::FirmwareError&) {
  }
  try {
    firmware::CheckCodePart(code);
  } catch (const firmware::FirmwareError&) {
    return 0;  // the tools stop here
  }
  try {
    if (firmware::InsertPeim(code, {}).image.size() != code.size()) std::abort();
  } catch (const firmware::FirmwareError&) {
  }
  return 0;
}
