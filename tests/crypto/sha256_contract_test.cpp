// The engine's contract beyond the digest itself: refused calls change
// nothing, finalisation wipes the whole context, the output length is
// bounded, and the byte count carries past 32 bits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>

#include "tests/crypto/sha256_test_support.h"

namespace {

using sha256_test::Digest;
using sha256_test::OracleDigest;
using sha256_test::RandomBytes;

class Sha256Contract : public sha256_test::OnVirtualPlatform {};

// 70 bytes absorbed: one block compressed and 6 pending, so every field of
// the context holds something that a stray write would disturb.
constexpr uint32_t PREFIX = 70;

TEST_F(Sha256Contract, RefusedCallsLeaveTheContextUnchanged) {
  const auto message = RandomBytes(PREFIX + 100, 5);
  const uint8_t* rest = message.data() + PREFIX;
  Digest untouched;
  untouched.fill(0xEE);
  struct Case {
    const char* name;
    std::function<bool(Sha256Context*, Digest*)> refused;
  };
  const Case cases[] = {
      {"Absorb NULL data, length 0", [](auto* c, auto*) { return !Sha256Absorb(c, nullptr, 0); }},
      {"Absorb NULL data, length 5", [](auto* c, auto*) { return !Sha256Absorb(c, nullptr, 5); }},
      {"Absorb NULL data, length 2^32-1", [](auto* c, auto*) { return !Sha256Absorb(c, nullptr, 0xFFFFFFFF); }},
      {"Absorb NULL context", [&](auto*, auto*) { return !Sha256Absorb(nullptr, rest, 5); }},
      {"Begin NULL context", [](auto*, auto*) { return !Sha256Begin(nullptr); }},
      {"Finish NULL digest", [](auto* c, auto*) { return !Sha256Finish(c, nullptr); }},
      {"Finish NULL context", [](auto*, auto* d) { return !Sha256Finish(nullptr, d->data()); }},
      {"CoreUpdate NULL data, length 0",
       [](auto* c, auto*) { return Sha256CoreUpdate(c, nullptr, 0) == HASH_ERROR_NULL_POINTER; }},
      {"CoreUpdate NULL data, length 9",
       [](auto* c, auto*) { return Sha256CoreUpdate(c, nullptr, 9) == HASH_ERROR_NULL_POINTER; }},
      {"CoreUpdate NULL context",
       [&](auto*, auto*) { return Sha256CoreUpdate(nullptr, rest, 9) == HASH_ERROR_NULL_POINTER; }},
      {"CoreInit NULL context", [](auto*, auto*) { return Sha256CoreInit(nullptr) == HASH_ERROR_NULL_POINTER; }},
      {"CoreFinalN NULL context",
       [](auto*, auto* d) { return Sha256CoreFinalN(nullptr, d->data(), 32) == HASH_ERROR_NULL_POINTER; }},
  };
  for (const auto& c : cases) {
    Sha256Context context;
    ASSERT_TRUE(Sha256Begin(&context));
    ASSERT_TRUE(Sha256Absorb(&context, message.data(), PREFIX));
    Sha256Context before;
    std::memcpy(&before, &context, sizeof context);
    Digest digest = untouched;

    EXPECT_TRUE(c.refused(&context, &digest)) << c.name;
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0) << c.name;
    EXPECT_EQ(digest, untouched) << c.name;

    // The hash goes on as if the call had not been made.
    ASSERT_TRUE(Sha256Absorb(&context, rest, 100));
    ASSERT_TRUE(Sha256Finish(&context, digest.data()));
    EXPECT_EQ(digest, OracleDigest(message.data(), message.size())) << c.name;
  }
}

TEST_F(Sha256Contract, EngineFinalWithNullDigestStillWipes) {
  Sha256Context context;
  const auto message = RandomBytes(PREFIX, 6);
  ASSERT_EQ(Sha256CoreInit(&context), HASH_SUCCESS);
  ASSERT_EQ(Sha256CoreUpdate(&context, message.data(), PREFIX), HASH_SUCCESS);
  const HashStatus status = Sha256CoreFinalN(&context, nullptr, 32);
  EXPECT_EQ(static_cast<uint32_t>(status), 0xFFFFE88Fu);  // -6001 as the full 32 bits
  const std::array<uint8_t, sizeof(Sha256Context)> zero{};
  EXPECT_EQ(std::memcmp(&context, zero.data(), zero.size()), 0);
}

TEST_F(Sha256Contract, FinishWipesAll112BytesAndBeginStartsAfresh) {
  // Exactly ContextSize bytes on the heap, so the sanitizer build also sees
  // any write beyond them; 0xCC first so the wipe of the unused tail shows.
  ASSERT_EQ(Sha256ContextSize(), 112u);
  auto storage = std::make_unique<uint64_t[]>(Sha256ContextSize() / 8);
  auto* context = reinterpret_cast<uint8_t*>(storage.get());
  std::memset(context, 0xCC, Sha256ContextSize());
  const auto message = RandomBytes(300, 7);
  Digest digest{};
  for (uint32_t length : {0u, 55u, 56u, 300u}) {
    ASSERT_TRUE(Sha256Begin(context));
    ASSERT_TRUE(Sha256Absorb(context, message.data(), length));
    ASSERT_TRUE(Sha256Finish(context, digest.data()));
    EXPECT_EQ(digest, OracleDigest(message.data(), length)) << "length " << length;
    for (uint32_t i = 0; i < Sha256ContextSize(); ++i) ASSERT_EQ(context[i], 0) << "length " << length << " byte " << i;
  }
}

TEST_F(Sha256Contract, FinalWritesOnlyWholeWordsAndAtMostEight) {
  struct Case {
    int32_t digestLength;
    size_t written;
  };
  const Case cases[] = {
      {32, 32}, {20, 20}, {30, 28}, {31, 28}, {4, 4}, {3, 0},  {0, 0},          {-1, 0},
      {-4, 0},  {33, 32}, {36, 32}, {64, 32}, {0x7FFFFFFF, 32}, {INT32_MIN, 0},
  };
  constexpr size_t GUARD = 16;
  const auto message = RandomBytes(100, 8);
  const Digest expected = OracleDigest(message.data(), message.size());
  for (const auto& c : cases) {
    Sha256Context context;
    ASSERT_EQ(Sha256CoreInit(&context), HASH_SUCCESS);
    ASSERT_EQ(Sha256CoreUpdate(&context, message.data(), 100), HASH_SUCCESS);
    std::array<uint8_t, GUARD + 64 + GUARD> out;
    out.fill(0x5A);
    EXPECT_EQ(Sha256CoreFinalN(&context, out.data() + GUARD, c.digestLength), HASH_SUCCESS);
    for (size_t i = 0; i < out.size(); ++i) {
      const bool inside = i >= GUARD && i < GUARD + c.written;
      EXPECT_EQ(out[i], inside ? expected[i - GUARD] : 0x5A) << "digest length " << c.digestLength << " byte " << i;
    }
  }
}

TEST_F(Sha256Contract, ByteCountCarriesIntoTheHighHalf) {
  Sha256Context context;
  ASSERT_EQ(Sha256CoreInit(&context), HASH_SUCCESS);
  context.ByteCount = 0xFFFFFFC0u;
  const auto block = RandomBytes(64, 9);
  ASSERT_EQ(Sha256CoreUpdate(&context, block.data(), 64), HASH_SUCCESS);
  EXPECT_EQ(context.ByteCount, 0x100000000u);
}

}  // namespace
