// The memory primitives against the C library as oracle, with guard bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "module/base/mem.h"

namespace {

TEST(MemCopy, MatchesMemmoveForEveryOverlap) {
  // Every source/destination offset pair within a small window and every
  // length that keeps both in bounds: forward, backward and disjoint copies.
  for (int src = 0; src < 12; ++src) {
    for (int dst = 0; dst < 12; ++dst) {
      for (uint32_t length = 0; length + std::max(src, dst) <= 24; ++length) {
        std::vector<uint8_t> expected(32), actual(32);
        std::iota(expected.begin(), expected.end(), 1);
        actual = expected;
        std::memmove(expected.data() + 4 + dst, expected.data() + 4 + src, length);
        void* result = MemCopy(actual.data() + 4 + dst, actual.data() + 4 + src, length);
        ASSERT_EQ(result, actual.data() + 4 + dst);
        ASSERT_EQ(actual, expected) << "src " << src << " dst " << dst << " length " << length;
      }
    }
  }
}

TEST(MemCompare, DifferenceOfFirstUnequalBytesAsUnsigned) {
  struct Case {
    std::vector<uint8_t> a, b;
    int32_t result;
  };
  const Case cases[] = {
      {{1, 2, 3}, {1, 2, 3}, 0},
      {{1, 2, 3}, {1, 2, 4}, -1},
      {{0xFF, 0}, {0x00, 9}, 255},     // unsigned bytes, not signed chars
      {{0x00, 0}, {0xFF, 0}, -255},
      {{5, 0x80}, {5, 0x7F}, 1},
      {{9, 1}, {8, 200}, 1},           // the first difference decides
  };
  for (const auto& c : cases) EXPECT_EQ(MemCompare(c.a.data(), c.b.data(), static_cast<uint32_t>(c.a.size())), c.result);
}

TEST(MemCompare, SameAddressIsEqualWithoutReading) {
  // A null pointer would fault if it were read.
  EXPECT_EQ(MemCompare(nullptr, nullptr, 32), 0);
}

TEST(MemFillAndZero, StoreExactlyTheLength) {
  for (uint32_t length = 0; length <= 13; ++length) {
    for (int offset = 0; offset < 4; ++offset) {
      std::vector<uint8_t> fill(24, 0xEE), zero(24, 0xEE);
      EXPECT_EQ(MemFill(fill.data() + 4 + offset, 0x1A5, length), fill.data() + 4 + offset);
      EXPECT_EQ(MemZero(zero.data() + 4 + offset, length), zero.data() + 4 + offset);
      for (int i = 0; i < 24; ++i) {
        const bool inside = i >= 4 + offset && i < 4 + offset + static_cast<int>(length);
        EXPECT_EQ(fill[i], inside ? 0xA5 : 0xEE) << "fill length " << length << " byte " << i;
        EXPECT_EQ(zero[i], inside ? 0x00 : 0xEE) << "zero length " << length << " byte " << i;
      }
    }
  }
}

}  // namespace
