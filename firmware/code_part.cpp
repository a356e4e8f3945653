#include "firmware/code_part.h"

#include <bit>

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/firmware_volume.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"

namespace firmware {

using common::Hex;

namespace {

// The header at `at` of `bytes`, its FvLength within `bytes`; a FirmwareError
// names the volume otherwise.
FirmwareVolumeHeader VolumeHeaderAt(std::span<const uint8_t> bytes, size_t at) {
  const std::string where = "volume at " + Hex(at) + ": ";
  if (const std::string problem = VolumeHeaderProblem(bytes.subspan(at)); !problem.empty())
    throw FirmwareError(where + problem);
  const auto h = ReadRecord<FirmwareVolumeHeader>(bytes, at);
  if (h.FvLength > bytes.size() - at)
    throw FirmwareError(where + "FvLength " + Hex(h.FvLength) + " runs past the end of the file (" +
                        Hex(bytes.size() - at) + " bytes left)");
  return h;
}

}  // namespace

void CheckCodePart(std::span<const uint8_t> code) {
  if (code.empty()) throw FirmwareError("the code part is empty");
  FirmwareVolume last;
  size_t lastAt = 0;
  for (size_t at = 0; at < code.size();) {
    const FirmwareVolumeHeader h = VolumeHeaderAt(code, at);
    try {
      last = ReadVolume(code.subspan(at, h.FvLength));
    } catch (const FirmwareError& e) {
      throw FirmwareError("volume at " + Hex(at) + ": " + e.what());
    }
    lastAt = at;
    at += h.FvLength;
  }
  // The processor starts in the code part's last 16 bytes: a file must hold them.
  const uint32_t end =
      last.files.empty() ? last.header.HeaderLength : last.files.back().offset + last.files.back().Size();
  if (end != last.Size())
    throw FirmwareError("volume at " + Hex(lastAt) + ": the last file ends at " + Hex(end) +
                        ", not at the volume's end " + Hex(last.Size()) +
                        " where the reset vector lies; the code part is cut short");
}

uint64_t ExpectedStoreSize(uint64_t codeSize) { return std::bit_ceil(codeSize + 1) - codeSize; }

void CheckVariableStore(std::span<const uint8_t> vars, uint64_t codeSize) {
  const uint64_t expected = ExpectedStoreSize(codeSize);
  if (vars.size() != expected)
    throw FirmwareError("store of " + Hex(vars.size()) + " bytes, expected " + Hex(expected) +
                        " to fill a flash part of " + Hex(codeSize + expected) + " with the code part's " +
                        Hex(codeSize));
  const FirmwareVolumeHeader h = VolumeHeaderAt(vars, 0);
  if (!(h.FileSystemGuid == VARIABLE_STORE_FILE_SYSTEM_GUID))
    throw FirmwareError("volume at 0x0: file system " + GuidText(h.FileSystemGuid) +
                        ", expected the variable store's " + GuidText(VARIABLE_STORE_FILE_SYSTEM_GUID));
  if (h.FvLength != vars.size())
    throw FirmwareError("volume at 0x0: FvLength " + Hex(h.FvLength) + ", expected the whole store, " +
                        Hex(vars.size()));
}

}  // namespace firmware
