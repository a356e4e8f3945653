// FIT and manifest lookup on hand-made tables in a small flash image.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/fit/fit.h"
#include "vplat/flash_image.h"
#include "vplat/platform.h"

namespace {

constexpr uint32_t kFit = 0xFFFF0000u;
constexpr uint32_t kManifest = 0xFFFE0000u;
constexpr uint32_t kOtherManifest = 0xFFFE1000u;

struct Entry {
  uint64_t address;
  uint32_t size;
  uint8_t type;
};

// A 128 KiB flash with a FIT of the given entries (header first), a valid
// manifest at kManifest and kOtherManifest, and the FIT pointer set.
class FitFlash {
 public:
  explicit FitFlash(std::vector<Entry> entries, uint8_t headerType = 0x80, bool fixChecksum = true) {
    image_.assign(0x20000, 0xFF);
    const uint32_t count = static_cast<uint32_t>(entries.size() + 1);
    PutEntry(kFit, 0x2020205F5449465Full, count, headerType);  // "_FIT_   "
    for (size_t i = 0; i < entries.size(); ++i)
      PutEntry(kFit + 16 * static_cast<uint32_t>(i + 1), entries[i].address, entries[i].size, entries[i].type);
    vplat::Store(image_, kManifest, "__ACBP__", 8);
    vplat::Store(image_, kOtherManifest, "__ACBP__", 8);
    vplat::Store32(image_, vplat::FIT_POINTER, kFit);
    if (fixChecksum) vplat::FixFitChecksum(image_, kFit);
  }

  void PutEntry(uint32_t at, uint64_t address, uint32_t size, uint8_t type) {
    uint8_t raw[16] = {};
    std::memcpy(raw, &address, 8);
    raw[8] = static_cast<uint8_t>(size);
    raw[9] = static_cast<uint8_t>(size >> 8);
    raw[10] = static_cast<uint8_t>(size >> 16);
    raw[14] = type;
    vplat::Store(image_, at, raw, 16);
  }

  std::vector<uint8_t>& image() { return image_; }
  uint8_t& At(uint32_t address) { return image_[vplat::OffsetOf(image_, address)]; }

  // Runs `call` with this flash mapped on a fresh platform.
  template <typename F>
  auto With(F call) {
    vplat::Platform platform;
    platform.memory.MapFlash(image_);
    vplat::ScopedPlatform scope(platform);
    return call();
  }

 private:
  std::vector<uint8_t> image_;
};

PhysAddr E(uint32_t index) { return Phys(kFit + 16 * index); }

struct LocateCase {
  const char* name;
  std::vector<Entry> entries;
  uint8_t headerType;
  bool fixChecksum;
  void (*edit)(FitFlash&);
  EFI_STATUS status;
  uint32_t manifest;  // on success
};

const std::vector<Entry> kManifestSecond = {{0xFFE00000u, 0, 0x01}, {kManifest, 0x200, 0x0C}};

const LocateCase kLocate[] = {
    {"valid table", kManifestSecond, 0x80, true, nullptr, EFI_SUCCESS, kManifest},
    {"signature missing", kManifestSecond, 0x80, true, [](FitFlash& f) { vplat::Store(f.image(), kFit, "_FAT_   ", 8); },
     EFI_NOT_FOUND, 0},
    {"signature blanks replaced by NULs", kManifestSecond, 0x80, true,
     [](FitFlash& f) { vplat::Store(f.image(), kFit + 5, "\0\0\0", 3); }, EFI_NOT_FOUND, 0},
    {"checksum bit clear, bytes do not sum to zero", kManifestSecond, 0x00, false, nullptr, EFI_SUCCESS, kManifest},
    {"checksum bit set, bytes do not sum to zero", kManifestSecond, 0x80, false,
     [](FitFlash& f) { f.At(kFit + 15) += 1; },
     EFI_CRC_ERROR, 0},
    {"checksum counts an entry's checksum byte", kManifestSecond, 0x80, true,
     [](FitFlash& f) { f.At(kFit + 16 + 15) += 1; }, EFI_CRC_ERROR, 0},
    {"type 0x8C found like 0x0C", {{kManifest, 0x200, 0x8C}}, 0x80, true, nullptr, EFI_SUCCESS, kManifest},
    {"no type 0x0C entry", {{0xFFE00000u, 0, 0x01}, {0xFFE40000u, 0, 0x02}}, 0x80, true, nullptr, EFI_NOT_FOUND, 0},
    {"empty table with checksum bit: sum 0, search finds nothing", {}, 0x80, true,
     [](FitFlash& f) { f.At(kFit + 8) = 0; f.At(kFit + 15) = 0; }, EFI_NOT_FOUND, 0},
    {"manifest entry is the last one", {{0xFFE00000u, 0, 0x01}, {0xFFE40000u, 0, 0x02}, {kManifest, 0, 0x0C}}, 0x80,
     true, nullptr, EFI_SUCCESS, kManifest},
    {"entry beyond the count is not looked at", {{0xFFE00000u, 0, 0x01}, {kManifest, 0, 0x0C}}, 0x80, true,
     [](FitFlash& f) {
       f.At(kFit + 8) = 2;  // the manifest entry falls outside
       vplat::FixFitChecksum(f.image(), kFit);
     },
     EFI_NOT_FOUND, 0},
    {"upper 32 address bits ignored", {{0x12345678'00000000ull | kManifest, 0x200, 0x0C}}, 0x80, true, nullptr,
     EFI_SUCCESS, kManifest},
    {"manifest signature wrong, later valid entry not used",
     {{kManifest + 0x10, 0x200, 0x0C}, {kOtherManifest, 0x200, 0x0C}}, 0x80, true, nullptr, EFI_NOT_FOUND, 0},
    {"first of two manifest entries wins", {{kOtherManifest, 0x200, 0x0C}, {kManifest, 0x200, 0x0C}}, 0x80, true,
     nullptr, EFI_SUCCESS, kOtherManifest},
    {"FIT pointer into unmapped space reads open bus", kManifestSecond, 0x80, true,
     [](FitFlash& f) { vplat::Store32(f.image(), vplat::FIT_POINTER, 0x00100000); }, EFI_NOT_FOUND, 0},
    {"table running past 4 GiB is refused, not wrapped", kManifestSecond, 0x00, true,
     [](FitFlash& f) {
       // A header at the very top whose count reaches past the end of memory.
       f.PutEntry(0xFFFFFF00u, 0x2020205F5449465Full, 0x20, 0x00);
       vplat::Store32(f.image(), vplat::FIT_POINTER, 0xFFFFFF00u);
     },
     EFI_NOT_FOUND, 0},
    {"manifest whose digest would run past 4 GiB is refused", {{0xFFFFFFC8u, 0x20, 0x0C}}, 0x80, true,
     [](FitFlash& f) { vplat::Store(f.image(), 0xFFFFFFC8u, "__ACBP__", 8); }, EFI_NOT_FOUND, 0},
};

TEST(LocateBootPolicyManifest, Table) {
  for (const auto& c : kLocate) {
    SCOPED_TRACE(c.name);
    FitFlash flash(c.entries, c.headerType, c.fixChecksum);
    if (c.edit) c.edit(flash);
    PhysAddr manifest = Phys(0xDEADBEEF);
    const EFI_STATUS status = flash.With([&] { return LocateBootPolicyManifest(&manifest); });
    EXPECT_EQ(status, c.status);
    // Out-parameters are written on success only.
    EXPECT_EQ(Raw(manifest), c.status == EFI_SUCCESS ? c.manifest : 0xDEADBEEFu);
  }
}

TEST(FindNextManifestEntry, ContinuesAfterTheGivenEntryOnly) {
  FitFlash flash({{0xFFE00000u, 0, 0x01}, {kManifest, 0, 0x0C}, {0xFFE40000u, 0, 0x02}, {kOtherManifest, 0, 0x0C}});
  struct Step {
    uint32_t in;
    EFI_STATUS status;
    uint32_t out;
  };
  const Step steps[] = {
      {0, EFI_SUCCESS, Raw(E(2))},
      {Raw(E(2)), EFI_SUCCESS, Raw(E(4))},
      {Raw(E(4)), EFI_NOT_FOUND, Raw(E(4))},        // in/out unchanged
      {Raw(E(2)) + 4, EFI_NOT_FOUND, Raw(E(2)) + 4},  // middle of an entry
      {kFit - 16, EFI_NOT_FOUND, kFit - 16},          // before the table
      {Raw(E(5)), EFI_NOT_FOUND, Raw(E(5))},          // one past the last entry
      {Raw(E(0)), EFI_SUCCESS, Raw(E(2))},            // the header itself continues at 1
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.in);
    PhysAddr entry = Phys(s.in);
    EXPECT_EQ(flash.With([&] { return FindNextManifestEntry(&entry); }), s.status);
    EXPECT_EQ(Raw(entry), s.out);
  }
}

TEST(FitLookup, NullOutParameterIsRefusedBeforeAnyRead) {
  // The FIT pointer leads nowhere valid: any read would turn the answer into NOT_FOUND.
  FitFlash flash({});
  vplat::Store32(flash.image(), vplat::FIT_POINTER, 0);
  flash.With([] {
    EXPECT_EQ(LocateBootPolicyManifest(nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(FindManifestEntry(nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(FindNextManifestEntry(nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(LocateFitHeader(nullptr), EFI_INVALID_PARAMETER);
    return 0;
  });
}

TEST(LocateFitHeader, TableMustEndAtOrBelow4GiB) {
  // A header in the last 16 bytes of memory: a count of 1 ends exactly at
  // 4 GiB; a count of 2 would wrap around to address 0.
  for (uint32_t count : {1u, 2u}) {
    FitFlash flash({});
    flash.PutEntry(0xFFFFFFF0u, 0x2020205F5449465Full, count, 0x00);
    vplat::Store32(flash.image(), vplat::FIT_POINTER, 0xFFFFFFF0u);
    PhysAddr header = NULL_PHYS;
    EXPECT_EQ(flash.With([&] { return LocateFitHeader(&header); }), count == 1 ? EFI_SUCCESS : EFI_NOT_FOUND);
  }
}

TEST(VerifyFitChecksum, SumsCountTimesSixteenBytesFromTheHeader) {
  // Bytes just past the table never count, whatever they hold.
  FitFlash flash({{kManifest, 0, 0x0C}});
  flash.At(kFit + 32) = 0x01;
  EXPECT_EQ(flash.With([] { return VerifyFitChecksum(Phys(kFit)); }), EFI_SUCCESS);
  flash.At(kFit + 31) += 1;
  EXPECT_EQ(flash.With([] { return VerifyFitChecksum(Phys(kFit)); }), EFI_CRC_ERROR);
}

}  // namespace
