// The search for modules placed in a flash window: exactly the valid images at
// 32-byte boundaries at or above the start address, each whole below 4 GiB,
// and candidates parsed where they lie.
#include "firmware/module_search.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "tests/support/pe_recipe.h"
#include "tests/support/shipped_module.h"

// Every operator new of this test program counts its bytes, so a test can see
// how much a call allocated in all.
namespace {
uint64_t allocatedBytes = 0;
}  // namespace

void* operator new(std::size_t size) {
  allocatedBytes += size;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using firmware::FindPlacedModules;
using firmware::PlacedModule;

constexpr uint32_t WINDOW_SIZE = 0x100000;  // 0xFFF00000-0xFFFFFFFF
constexpr uint32_t WINDOW_BASE = 0xFFF00000u;

std::vector<uint8_t> Window() { return std::vector<uint8_t>(WINDOW_SIZE, 0xFF); }

uint8_t* At(std::vector<uint8_t>& window, uint32_t address) { return window.data() + (address - WINDOW_BASE); }

// "MZ" at `address`: a DOS header with no PE image behind it.
void Decoy(std::vector<uint8_t>& window, uint32_t address) { std::memcpy(At(window, address), "MZ", 2); }

// The module's file bytes as they lie once placed; returns SizeOfImage.
uint32_t Place(std::vector<uint8_t>& window, const std::vector<uint8_t>& efi, uint32_t address) {
  return firmware::PlaceModule(window, efi, address).size;
}

std::vector<uint8_t> SmallModule() { return test_support::BuildPe({.code = {0xC3}}); }

struct Expected {
  uint32_t base;
  uint32_t size;
};

struct SearchCase {
  const char* name;
  uint32_t from;
  void (*lay)(std::vector<uint8_t>& window);
  std::vector<Expected> (*expected)();
};

const std::vector<uint8_t>& Shipped() { return test_support::ShippedModule(); }
uint32_t ShippedSize() { return firmware::ReadPe(Shipped()).sizeOfImage; }
uint32_t SmallSize() { return firmware::ReadPe(SmallModule()).sizeOfImage; }

const SearchCase kCases[] = {
    {"decoys below, the shipped module, decoys above", WINDOW_BASE,
     [](std::vector<uint8_t>& w) {
       for (uint32_t a = WINDOW_BASE; a < 0xFFF40000u; a += 0x1000) Decoy(w, a);
       Place(w, Shipped(), 0xFFF40000u);
       Decoy(w, 0xFFFF0000u);
     },
     [] { return std::vector<Expected>{{0xFFF40000u, ShippedSize()}}; }},
    {"from the module's own address", 0xFFF40000u, [](std::vector<uint8_t>& w) { Place(w, Shipped(), 0xFFF40000u); },
     [] { return std::vector<Expected>{{0xFFF40000u, ShippedSize()}}; }},
    {"from one byte above it: the next boundary is inside", 0xFFF40001u,
     [](std::vector<uint8_t>& w) { Place(w, Shipped(), 0xFFF40000u); }, [] { return std::vector<Expected>{}; }},
    {"below a start that lies under the window", 0x1000,
     [](std::vector<uint8_t>& w) { Place(w, SmallModule(), WINDOW_BASE); },
     [] { return std::vector<Expected>{{WINDOW_BASE, SmallSize()}}; }},
    {"off a 32-byte boundary", WINDOW_BASE,
     [](std::vector<uint8_t>& w) {
       const auto efi = SmallModule();
       std::memcpy(At(w, 0xFFF80010u), efi.data(), efi.size());
     },
     [] { return std::vector<Expected>{}; }},
    {"two modules, in address order", WINDOW_BASE,
     [](std::vector<uint8_t>& w) {
       Place(w, SmallModule(), 0xFFFE0000u);
       Place(w, Shipped(), 0xFFF40000u);
     },
     [] { return std::vector<Expected>{{0xFFF40000u, ShippedSize()}, {0xFFFE0000u, SmallSize()}}; }},
    {"a module inside another's SizeOfImage is part of it", WINDOW_BASE,
     [](std::vector<uint8_t>& w) {
       auto outer = SmallModule();
       const uint32_t inner = 0x400;
       const uint32_t size = inner + SmallSize();
       std::memcpy(&outer[test_support::OPTIONAL_AT + offsetof(firmware::PeOptionalHeader32, SizeOfImage)], &size, 4);
       std::memcpy(At(w, 0xFFF80000u), outer.data(), outer.size());
       Place(w, SmallModule(), 0xFFF80000u + inner);
     },
     [] { return std::vector<Expected>{{0xFFF80000u, 0x400 + SmallSize()}}; }},
    {"a whole file whose SizeOfImage passes 4 GiB", WINDOW_BASE,
     [](std::vector<uint8_t>& w) {
       auto efi = SmallModule();
       const uint32_t size = static_cast<uint32_t>(efi.size()) + 0x1000;
       std::memcpy(&efi[test_support::OPTIONAL_AT + offsetof(firmware::PeOptionalHeader32, SizeOfImage)], &size, 4);
       std::memcpy(At(w, static_cast<uint32_t>(0x100000000ull - efi.size())), efi.data(), efi.size());
     },
     [] { return std::vector<Expected>{}; }},
};

TEST(ModuleSearch, FindsExactlyThePlacedModules) {
  for (const SearchCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> window = Window();
    c.lay(window);
    const std::vector<PlacedModule> found = FindPlacedModules(window, c.from);
    const std::vector<Expected> expected = c.expected();
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].base, expected[i].base);
      EXPECT_EQ(found[i].size, expected[i].size);
      EXPECT_EQ(found[i].entry, found[i].base + found[i].info.entryRva);
    }
  }
}

// Every 32-byte slot of the window's first half is "MZ" with a DOS header
// whose PE signature offset leads to another slot: a candidate that fails
// only after its headers are read, with half a MiB or more of window after
// it. A search that copied what follows a candidate would allocate that much
// for each; parsing in place allocates no more than the refusal's message.
TEST(ModuleSearch, ParsesCandidatesWithoutCopyingTheWindow) {
  std::vector<uint8_t> window = Window();
  const uint32_t candidates = WINDOW_SIZE / 2 / firmware::MODULE_PLACEMENT_ALIGN;
  const uint32_t lfanew = 0x40;
  for (uint32_t i = 0; i < candidates; ++i) {
    uint8_t* slot = window.data() + i * firmware::MODULE_PLACEMENT_ALIGN;
    std::memcpy(slot, "MZ", 2);
    // The previous slot's e_lfanew (at its offset 0x3C) is this slot's offset 0x1C.
    std::memcpy(slot + offsetof(firmware::PeDosHeader, e_lfanew) - firmware::MODULE_PLACEMENT_ALIGN, &lfanew, 4);
  }

  const uint64_t before = allocatedBytes;
  EXPECT_TRUE(FindPlacedModules(window, WINDOW_BASE).empty());
  EXPECT_LT((allocatedBytes - before) / candidates, 1024u);
}

}  // namespace
