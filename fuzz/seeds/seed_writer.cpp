// Writes the seed corpora of the fuzz targets, each input named
// "seed-<what it is>" in CORPUS/<target>/ (see write_seeds.sh beside this):
//
//   seed_writer CORPUS MODULE.efi
//
// Flash seeds are cut from images that vplat::BuildFlashImage lays out, so
// they carry a real FIT, manifest and, for the analysis, the reference digest
// of the region its rig keeps; trace and HOB seeds are what the host build of
// the module leaves in the access log and the HOB list; descriptor seeds are
// the tool's own full dumps; firmware path seeds are small code parts built
// from firmware volumes around the module (plain and LZMA-nested PEI
// volumes, a volume whose file holds the top of the part) with their store.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/code_part.h"
#include "firmware/firmware_volume.h"
#include "firmware/flash_descriptor.h"
#include "firmware/lzma_stream.h"
#include "firmware/peim_file.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"
#include "firmware/pe_image.h"
#include "module/fit/fit.h"
#include "runners/run_native.h"
#include "vplat/flash_image.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint32_t WINDOW_BASE = 0xFFFFF000u;  // the flash targets' window
constexpr uint32_t SEED_FIT = 0xFFFFF100u;
constexpr uint32_t SEED_MANIFEST = 0xFFFFF400u;
// Smallest image that holds the region: the analysis rig's.
constexpr uint32_t RIG_IMAGE_SIZE = static_cast<uint32_t>(0x100000000ull - vplat::REGION_BASE);

fs::path corpus;

void Write(const std::string& target, const std::string& what, const Bytes& bytes) {
  const fs::path folder = corpus / target;
  fs::create_directories(folder);
  std::ofstream out(folder / ("seed-" + what), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + (folder / what).string());
}

void Append32(Bytes& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The image's bytes from `from` up to (not including) `to`.
Bytes Cut(const Bytes& image, uint32_t from, uint64_t to) {
  const auto at = image.begin() + static_cast<ptrdiff_t>(vplat::OffsetOf(image, from));
  return Bytes(at, at + (to - from));
}

vplat::FlashImageOptions InWindow() {
  vplat::FlashImageOptions o;
  o.size = RIG_IMAGE_SIZE;
  o.fitAddress = SEED_FIT;
  o.manifestAddress = SEED_MANIFEST;
  return o;
}

// FIT pointer, then the window up to the end of the manifest.
Bytes FlashInput(const vplat::FlashImageOptions& o, uint32_t pointer) {
  const Bytes image = vplat::BuildFlashImage(o);
  Bytes input;
  Append32(input, pointer);
  const Bytes window = Cut(image, WINDOW_BASE, SEED_MANIFEST + vplat::DEFAULT_MANIFEST_SIZE);
  input.insert(input.end(), window.begin(), window.end());
  return input;
}

void FlashSeeds() {
  struct Case {
    const char* what;
    vplat::FlashImageOptions options;
    uint32_t pointer;
  };
  std::vector<Case> cases;
  cases.push_back({"passing", InWindow(), SEED_FIT});
  cases.push_back({"wrong-digest", InWindow(), SEED_FIT});
  cases.back().options.digest = vplat::ReferenceDigest::Wrong;
  cases.push_back({"unchecked-fit", InWindow(), SEED_FIT});
  cases.back().options.fitChecksum = false;
  cases.push_back({"no-manifest-entry", InWindow(), SEED_FIT});
  cases.back().options.entries = {{0x01, 0xFFE00000u, 0}, {0x02, 0xFFE40000u, 0}};
  cases.push_back({"two-manifest-entries", InWindow(), SEED_FIT});
  cases.back().options.entries = {{0x8C, SEED_MANIFEST + 0x100, 0x200}, {0x0C, SEED_MANIFEST, 0x200}};
  cases.push_back({"fit-below-the-window", InWindow(), vplat::DEFAULT_FIT_ADDRESS});
  cases.push_back({"erased-pointer", InWindow(), 0xFFFFFFFFu});
  for (const Case& c : cases) {
    const Bytes input = FlashInput(c.options, c.pointer);
    Write("analysis", c.what, input);
    // The FIT target takes an entry to continue from after the pointer.
    Bytes fit(input.begin(), input.begin() + 4);
    Append32(fit, SEED_FIT + FIT_ENTRY_SIZE);
    fit.insert(fit.end(), input.begin() + 4, input.end());
    Write("fit", c.what, fit);
  }
  // A manifest at 0xFFFFFF94, whose last byte read is the last of the flash
  // and whose unread middle holds the FIT pointer.
  constexpr uint32_t topManifest = 0xFFFFFF94u;
  static_assert(uint64_t{topManifest} + MANIFEST_READ_SIZE == 0x100000000ull);
  vplat::FlashImageOptions top = InWindow();
  top.entries = vplat::DefaultFitEntries(topManifest);
  Bytes image = vplat::BuildFlashImage(top);
  const Bytes manifest = Cut(image, SEED_MANIFEST, SEED_MANIFEST + MANIFEST_READ_SIZE);
  vplat::Store(image, topManifest, manifest.data(), manifest.size());
  Bytes input;
  Append32(input, SEED_FIT);
  const Bytes window = Cut(image, WINDOW_BASE, 0x100000000ull);
  input.insert(input.end(), window.begin(), window.end());
  Write("analysis", "manifest-under-the-pointer", input);
}

void ModuleSeeds(const Bytes& efi) {
  Write("pe", "shipped-module", efi);
  // A window with the module placed after decoys, searched from its base.
  const uint32_t size = static_cast<uint32_t>((efi.size() + 0x1FFF) & ~0xFFFu);
  Bytes window(size, 0xFF);
  for (uint32_t at = 0; at < 0x1000; at += 0x200) std::memcpy(&window[at], "MZ", 2);
  firmware::PlaceModule(window, efi, static_cast<uint32_t>(0x100000000ull - size + 0x1000));
  Bytes input{0};
  input.insert(input.end(), window.begin(), window.end());
  Write("module_search", "shipped-module-after-decoys", input);
}

// The module's own failure run: POST code, trace line, halt; every MMIO
// write as a raw-address record of the trace decoder target.
void TraceAndHobSeeds() {
  runners::Scenario s;
  vplat::FlashImageOptions o;
  o.digest = vplat::ReferenceDigest::Wrong;
  s.image = vplat::BuildFlashImage(o);
  const runners::Outcome outcome = runners::RunNative(s);
  Bytes trace;
  for (const vplat::Access& a : outcome.log) {
    if (a.kind != vplat::AccessKind::MmioWrite) continue;
    trace.insert(trace.end(), {static_cast<uint8_t>(static_cast<uint8_t>(a.kind) | 0x40), a.width, 0, 0});
    Append32(trace, a.value);
    Append32(trace, a.address);
  }
  Write("trace_decoder", "failure-trace-line", trace);

  // The HOB list the run left: PHIT, the TSC frequency HOB, the end.
  Bytes list;
  for (const vplat::Hob& hob : outcome.hobs) list.insert(list.end(), hob.bytes.begin(), hob.bytes.end());
  list.insert(list.end(), {0xFF, 0xFF, 8, 0, 0, 0, 0, 0});
  Write("hob", "phit-tsc-end", list);
  Bytes lengthZero = list;
  lengthZero[2] = lengthZero[3] = 0;
  Write("hob", "length-zero-first", lengthZero);
}

// Size, flags, ignored flags, pointee text, 32 arguments, format.
Bytes PrintInput(uint16_t size, uint8_t flags, const std::vector<uint64_t>& args, const std::string& format) {
  Bytes input{static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), flags, 0x5A};
  const char text[33] = "Firmware Volume 0123456789ABCDEF";
  input.insert(input.end(), text, text + 32);
  for (size_t i = 0; i < 32; ++i) {
    const uint64_t value = i < args.size() ? args[i] : 0;
    for (int k = 0; k < 8; ++k) input.push_back(static_cast<uint8_t>(value >> (8 * k)));
  }
  input.insert(input.end(), format.begin(), format.end());
  return input;
}

void PrintSeeds() {
  Write("print", "numbers", PrintInput(64, 0, {0xFFFFFFFF80000000ull, 1234567, 0xDEADBEEF, 7, 42},
                                       "%d|%,u|%08X|%-*d|%+5ld\n"));
  Write("print", "pointers", PrintInput(200, 0, {1, 1, 1, 0, 0x8000001B}, "%a %g %t %s %r"));
  Write("print", "truncated", PrintInput(8, 0, {12345678}, "value %u is long"));
  Write("print", "wide-output", PrintInput(40, 1, {1, 0x8000000E}, "%a: %r\r\n"));
  Write("print", "wide-format", PrintInput(40, 2, {99}, std::string("%\0d\0\n\0", 6)));
}

// A volume of FFS files, `size` bytes, erased bytes 0xFF.
firmware::FirmwareVolume EmptyVolume(uint32_t size) {
  firmware::FirmwareVolume v;
  v.header.FileSystemGuid = firmware::FFS2_FILE_SYSTEM_GUID;
  v.header.FvLength = size;
  v.header.Signature = firmware::FV_SIGNATURE;
  v.header.Attributes = firmware::FVB2_ERASE_POLARITY;
  v.header.HeaderLength = sizeof(firmware::FirmwareVolumeHeader) + 2 * sizeof(firmware::FvBlockMapEntry);
  v.header.Revision = firmware::FV_REVISION;
  v.blockMap = {{size / 0x1000, 0x1000}};
  return v;
}

// A PEI volume that runs at `base`: the module, rebased where it lies, as its PEI core.
Bytes PeiVolume(const Bytes& efi, uint32_t base) {
  const uint32_t size = static_cast<uint32_t>(firmware::AlignUp(efi.size() + 0x400, 0x1000));
  firmware::FirmwareVolume v = EmptyVolume(size);
  firmware::PeimFileOptions named;  // a name of its own, so the module can still be added
  named.name = {{0x04}};
  named.uiName = "core";
  firmware::FfsFile core = firmware::MakePeimFile(firmware::RebasePe(efi, 0), named);
  const uint32_t at = *firmware::PlaceForFile(v, core);
  const uint32_t alignment = firmware::ReadPe(efi).sectionAlignment;
  core = firmware::MakePeimFile(
      firmware::RebasePe(efi, base + at + core.HeaderSize() + firmware::PeimImageOffset(alignment)), named);
  core.type = firmware::FV_FILETYPE_PEI_CORE;
  firmware::AddFile(v, std::move(core));
  return firmware::WriteVolume(v);
}

// A volume of `size` bytes whose one file reaches its end, as the file with
// the reset vector does.
Bytes ResetVolume(uint32_t size) {
  firmware::FirmwareVolume v = EmptyVolume(size);
  firmware::FfsFile top;
  top.name.bytes[0] = 0x2E;
  top.type = firmware::FV_FILETYPE_RAW;
  top.data.assign(size - v.FreeSpaceStart() - sizeof(firmware::FfsFileHeader), 0x90);
  firmware::AddFile(v, std::move(top));
  return firmware::WriteVolume(v);
}

// Code part length, code part (the volumes given, then a reset volume that
// brings it to 4 KiB below a power of two), variable store of the last 4 KiB.
Bytes FirmwarePathInput(const std::vector<Bytes>& volumes) {
  Bytes code;
  for (const Bytes& v : volumes) code.insert(code.end(), v.begin(), v.end());
  const uint32_t total = static_cast<uint32_t>(std::bit_ceil(code.size() + 0x2000));
  const Bytes top = ResetVolume(total - 0x1000 - static_cast<uint32_t>(code.size()));
  code.insert(code.end(), top.begin(), top.end());
  firmware::FirmwareVolume store = EmptyVolume(0x1000);
  store.header.FileSystemGuid = firmware::VARIABLE_STORE_FILE_SYSTEM_GUID;
  const Bytes vars = firmware::WriteVolume(store);
  Bytes input;
  Append32(input, static_cast<uint32_t>(code.size()));
  input.insert(input.end(), code.begin(), code.end());
  input.insert(input.end(), vars.begin(), vars.end());
  return input;
}

void FirmwarePathSeeds(const Bytes& efi) {
  constexpr uint32_t PEI_BASE = 0x820000;
  Write("firmware_path", "pei-volume-then-reset-volume", FirmwarePathInput({PeiVolume(efi, PEI_BASE)}));
  // As OVMF nests it: a volume-image file, an LZMA section (a small
  // dictionary keeps the seed quick to recompress), the PEI volume in it.
  firmware::LzmaAloneHeader like{};
  like.Properties = 0x5D;  // lc 3, lp 0, pb 2
  like.DictionarySize = 1u << 16;
  firmware::Section lzma = firmware::MakeSection(
      firmware::EFI_SECTION_GUID_DEFINED,
      firmware::EncodeLzma(firmware::WriteSections({firmware::MakeSection(firmware::EFI_SECTION_FIRMWARE_VOLUME_IMAGE,
                                                                          PeiVolume(efi, PEI_BASE))}),
                           like));
  firmware::GuidDefinedSectionFields fields{};
  fields.SectionDefinitionGuid = firmware::LZMA_SECTION_GUID;
  fields.DataOffset = sizeof(firmware::CommonSectionHeader) + sizeof fields;
  fields.Attributes = firmware::EFI_GUIDED_SECTION_PROCESSING_REQUIRED;
  lzma.fields.resize(sizeof fields);
  std::memcpy(lzma.fields.data(), &fields, sizeof fields);
  firmware::FfsFile outerFile;
  outerFile.name.bytes[0] = 0x93;
  outerFile.type = firmware::FV_FILETYPE_FIRMWARE_VOLUME_IMAGE;
  outerFile.data = firmware::WriteSections({lzma});
  firmware::FirmwareVolume outer =
      EmptyVolume(static_cast<uint32_t>(firmware::AlignUp(outerFile.Size() + 0x100, 0x1000)));
  firmware::AddFile(outer, std::move(outerFile));
  Write("firmware_path", "compressed-pei-volume-then-reset-volume", FirmwarePathInput({firmware::WriteVolume(outer)}));
}

// A size byte (the file's MiB less one), then the file's first 4 KiB.
Bytes DescriptorInput(uint32_t mebibytes, const Bytes& head) {
  Bytes input{static_cast<uint8_t>(mebibytes - 1)};
  input.insert(input.end(), head.begin(), head.end());
  return input;
}

void DescriptorSeeds() {
  using firmware::FlashRegion;
  constexpr uint32_t MIB = 1u << 20;
  const FlashRegion descriptor{firmware::FLASH_REGION_DESCRIPTOR, 0, firmware::FLASH_DESCRIPTOR_SIZE - 1};
  const FlashRegion me{firmware::FLASH_REGION_ME, firmware::FLASH_DESCRIPTOR_SIZE, 8 * MIB - 1};
  Write("flash_descriptor", "full-dump-16mib",
        DescriptorInput(16, firmware::BuildFlashDescriptor(
                                {descriptor, me, {firmware::FLASH_REGION_BIOS, 8 * MIB, 16 * MIB - 1}}, 16 * MIB)));
  Write("flash_descriptor", "bios-region-of-32mib-in-64mib",
        DescriptorInput(64, firmware::BuildFlashDescriptor(
                                {descriptor, me, {firmware::FLASH_REGION_BIOS, 32 * MIB, 64 * MIB - 1}}, 64 * MIB)));
  Write("flash_descriptor", "bios-region-without-descriptor", DescriptorInput(8, Bytes(16, 0xFF)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: seed_writer CORPUS MODULE.efi\n");
    return 2;
  }
  corpus = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  const Bytes efi{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  FlashSeeds();
  ModuleSeeds(efi);
  TraceAndHobSeeds();
  PrintSeeds();
  DescriptorSeeds();
  FirmwarePathSeeds(efi);
  return 0;
}
