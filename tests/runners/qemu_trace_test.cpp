// The port writes the QEMU runner reads from QEMU's write trace: exact
// ports, values and widths, and every other line left out.
#include "runners/qemu_trace.h"

#include <gtest/gtest.h>

namespace {

using runners::ParsePortWrite;
using runners::PortWrite;

TEST(QemuTrace, PortWritesAndNothingElse) {
  const struct {
    const char* line;
    std::optional<PortWrite> write;
  } cases[] = {
      {"memory_region_ops_write cpu 0 mr 0x55fe67ef2280 addr 0x80 value 0x8f size 1 name 'ioport80'",
       PortWrite{0x80, 0x8F, 1}},
      {"memory_region_ops_write cpu 0 mr 0x55fe67ef2280 addr 0x81 value 0x0 size 1 name 'ioport80'",
       PortWrite{0x81, 0x00, 1}},
      {"memory_region_ops_write cpu 0 mr 0x5641a0cab630 addr 0x43 value 0xe8 size 1 name 'pit'", PortWrite{0x43, 0xE8, 1}},
      {"memory_region_ops_write cpu 0 mr 0x5653a75d3e10 addr 0xcf8 value 0x8000f844 size 4 name 'pci-conf-idx'",
       PortWrite{0xCF8, 0x8000F844, 4}},
      {"memory_region_ops_write cpu 0 mr 0x1 addr 0xffff value 0x1 size 2 name 'io'", PortWrite{0xFFFF, 0x1, 2}},
      // MMIO above the port space, a device's own write, other events, cut-off lines.
      {"memory_region_ops_write cpu 0 mr 0x1 addr 0x10000 value 0x1 size 1 name 'x'", std::nullopt},
      {"memory_region_ops_write cpu 0 mr 0x1 addr 0xfee00000 value 0x0 size 4 name 'apic-msi'", std::nullopt},
      {"memory_region_ops_write cpu -1 mr 0x5653a741e0a0 addr 0x80 value 0x0 size 4 name 'x'", std::nullopt},
      {"memory_region_ops_read cpu 0 mr 0x1 addr 0x61 value 0x20 size 1 name 'pcspk'", std::nullopt},
      {"memory_region_ops_write cpu 0 mr 0x1 addr 0x80 value 0x8f size", std::nullopt},
      {"memory_region_ops_write cpu 0 mr 0x1 addr 0x80 value 0x8f size 0 name 'ioport80'", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParsePortWrite(c.line), c.write) << c.line;
}

}  // namespace
