// What Debian's OVMF builds run on, read from their volumes: the DXE core's
// machine and the MM files (counted independently, from a listing of every
// file in the decompressed volumes), and the refusal of the 2 MiB builds,
// whose PEI phase is x86-64, before anything is recompressed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "firmware/firmware_error.h"
#include "firmware/firmware_phases.h"
#include "firmware/pei_insert.h"
#include "tests/support/error_message.h"
#include "tests/support/shipped_module.h"

namespace {

std::vector<uint8_t> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The PEI core's file, 52c05b14-0b98-496c-bc3b-04b50211d680, is the first of
// the PEI volume: the first image the check meets.
const std::string X64_PEI = "the PEI phase is not IA-32: the PEI core 52c05b14-0b98-496c-bc3b-04b50211d680 is x86-64, "
                            "and the module is an IA-32 PEIM that runs only in an IA-32 PEI phase";

TEST(FirmwarePhases, DebianBuildsTellTheirDxeMachineTheirMmFilesAndRefuseAnX64PeiPhase) {
  const struct {
    const char* file;
    uint16_t dxeCore;
    uint32_t mmFiles;         // the MM core and the MM drivers of the secure-boot builds
    std::string peiRefusal;   // empty: not tried here (inserting takes seconds; the boot tests do it)
  } cases[] = {
      {"OVMF32_CODE_4M.secboot.fd", 0x014C, 8, ""},
      {"OVMF_CODE_4M.fd", 0x8664, 0, ""},
      {"OVMF_CODE_4M.secboot.fd", 0x8664, 8, ""},
      {"OVMF_CODE.fd", 0x8664, 0, X64_PEI},
      {"OVMF_CODE.secboot.fd", 0x8664, 8, X64_PEI},
  };
  const std::string PEI_VOLUME_PATH =
      "volume at 0x0 > file 9e21fd93-9c72-4c15-8c4b-e77f1db2d792 (type 0x0B) at 0x78 > LZMA section > firmware volume "
      "section: ";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = std::string("/usr/share/OVMF/") + c.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is absent: install Debian's ovmf and ovmf-ia32";
    const std::vector<uint8_t> code = Read(path);
    const firmware::FirmwarePhases phases = firmware::ReadFirmwarePhases(code);
    EXPECT_EQ(phases.dxeCoreMachine, c.dxeCore);
    EXPECT_EQ(phases.mmFiles, c.mmFiles);
    EXPECT_EQ(phases.NeedsSmm(), c.mmFiles != 0);
    if (c.peiRefusal.empty()) continue;
    firmware::InsertOptions options;
    options.module = test_support::ShippedModule();
    // The refusal names the containers down to the PEI volume first.
    EXPECT_EQ(test_support::ErrorMessage<firmware::FirmwareError>([&] { firmware::InsertPeim(code, options); }),
              PEI_VOLUME_PATH + c.peiRefusal);
  }
}

}  // namespace
