// Digests of the engine against FIPS 180-4's examples and OpenSSL, for every
// way of cutting a message into Sha256Absorb calls that matters: each split
// point of short messages, pieces that end on block boundaries, empty pieces,
// random cuts of long messages, unaligned data and lengths of 2^31 and more.
// Every case runs on both compression paths.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <numeric>
#include <string>

#include "tests/crypto/sha256_test_support.h"

namespace {

using sha256_test::Digest;
using sha256_test::EngineDigest;
using sha256_test::OracleDigest;
using sha256_test::RandomBytes;

class Sha256Digest : public sha256_test::OnEachPath {};
INSTANTIATE_TEST_SUITE_P(Paths, Sha256Digest,
                         ::testing::Values(sha256_test::Path::Portable, sha256_test::Path::ShaExtensions),
                         sha256_test::PathName);

Digest FromHex(const char* hex) {
  Digest digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  return digest;
}

TEST_P(Sha256Digest, FipsExamples) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    const auto* data = reinterpret_cast<const uint8_t*>(c.message.c_str());
    EXPECT_EQ(EngineDigest(data, {static_cast<uint32_t>(c.message.size())}), FromHex(c.digest))
        << c.message.size() << "-byte message";
  }
}

TEST_P(Sha256Digest, TotalLengthsAroundThePaddingBoundaries) {
  // 55 bytes pad within their block; 56 to 63 need a second one. Each length
  // in one piece and after a 1-byte piece, so the tail also arrives pending.
  const uint32_t lengths[] = {0,   1,   55,  56,  57,  62,  63,  64,  65,  111, 119, 120,
                              121, 127, 128, 129, 183, 184, 191, 192, 1000, 0x2D0000};
  for (uint32_t length : lengths) {
    const auto message = RandomBytes(length + 1, length);
    const Digest expected = OracleDigest(message.data(), length);
    EXPECT_EQ(EngineDigest(message.data(), {length}), expected) << "length " << length;
    if (length > 0) {
      EXPECT_EQ(EngineDigest(message.data(), {1, length - 1}), expected) << "length " << length;
    }
  }
}

TEST_P(Sha256Digest, EveryTwoWaySplitOfShortMessages) {
  for (uint32_t length = 0; length <= 200; ++length) {
    const auto message = RandomBytes(length + 1, 1000 + length);
    const Digest expected = OracleDigest(message.data(), length);
    for (uint32_t split = 0; split <= length; ++split) {
      ASSERT_EQ(EngineDigest(message.data(), {split, length - split}), expected)
          << "length " << length << " split " << split;
    }
  }
}

TEST_P(Sha256Digest, EveryThreeWaySplitAroundThePaddingBoundaries) {
  for (uint32_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 129u}) {
    const auto message = RandomBytes(length + 1, 2000 + length);
    const Digest expected = OracleDigest(message.data(), length);
    for (uint32_t first = 0; first <= length; ++first) {
      for (uint32_t second = 0; first + second <= length; ++second) {
        ASSERT_EQ(EngineDigest(message.data(), {first, second, length - first - second}), expected)
            << "length " << length << " pieces " << first << " " << second;
      }
    }
  }
}

TEST_P(Sha256Digest, PiecesOnBlockBoundariesAndEmptyPieces) {
  struct Case {
    const char* name;
    std::vector<uint32_t> pieces;
  };
  const Case cases[] = {
      {"whole blocks one by one", {64, 64, 64}},
      {"top-up ends on the boundary", {10, 54, 64, 5}},
      {"top-up ends on the boundary, nothing after", {63, 1}},
      {"top-up then whole blocks from the caller", {32, 32 + 128}},
      {"top-up then whole blocks and a tail", {3, 61 + 192 + 17}},
      {"empty pieces between and around", {0, 0, 5, 0, 59, 0, 64, 0, 0}},
      {"only empty pieces", {0, 0, 0}},
      {"byte by byte across a boundary", {62, 1, 1, 1, 1}},
      {"pending 56 before the padding", {56}},
      {"pending 56 after a block", {64, 56}},
      {"long piece after pending bytes", {7, 4096 + 33}},
  };
  for (const auto& c : cases) {
    const uint32_t length = std::accumulate(c.pieces.begin(), c.pieces.end(), 0u);
    const auto message = RandomBytes(length + 1, length);
    EXPECT_EQ(EngineDigest(message.data(), c.pieces), OracleDigest(message.data(), length)) << c.name;
  }
}

TEST_P(Sha256Digest, RandomSplitsOfLongMessages) {
  std::mt19937 random(7);
  for (uint32_t length : {1000u, 4096u + 17u, 65536u + 63u, 300000u}) {
    const auto message = RandomBytes(length + 1, length);
    const Digest expected = OracleDigest(message.data(), length);
    for (int round = 0; round < 60; ++round) {
      // Piece sizes from a few bytes to a few blocks, with block multiples and
      // empty pieces mixed in.
      std::vector<uint32_t> pieces;
      for (uint32_t left = length; left > 0;) {
        uint32_t piece;
        switch (random() % 4) {
          case 0: piece = 0; break;
          case 1: piece = 64 * (random() % 5); break;
          default: piece = random() % (1u << (random() % 13)); break;
        }
        piece = std::min(piece, left);
        pieces.push_back(piece);
        left -= piece;
      }
      ASSERT_EQ(EngineDigest(message.data(), pieces), expected) << "length " << length << " round " << round;
    }
  }
}

TEST_P(Sha256Digest, AnyAlignmentOfTheData) {
  // Whole blocks are compressed straight from the caller's bytes.
  const auto buffer = RandomBytes(1024 + 8, 99);
  for (uint32_t offset = 0; offset < 8; ++offset) {
    for (uint32_t pending : {0u, 1u, 3u}) {
      const uint8_t* data = buffer.data() + offset;
      EXPECT_EQ(EngineDigest(data, {pending, 1000 - pending}), OracleDigest(data, 1000))
          << "offset " << offset << " pending " << pending;
    }
  }
}

TEST_P(Sha256Digest, LengthOf2To31OrMoreWithBytesPending) {
  // 2^31 + 35 bytes in one absorb after 29 pending: the top-up must treat the
  // length as unsigned. The big range is mapped on demand and mostly zero
  // pages; its first and last pages carry data so that misplaced bytes show.
  constexpr uint32_t pending = 29;
  constexpr uint32_t length = 0x80000000u + 35;
  constexpr size_t page = 4096;
  const size_t mapped = (length + page - 1) / page * page;
  void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* data = static_cast<uint8_t*>(mapping);
  const auto head = RandomBytes(page, 1);
  const auto tail = RandomBytes(page, 2);
  std::memcpy(data, head.data(), page);
  std::memcpy(data + length - page, tail.data(), page);
  const auto prefix = RandomBytes(pending, 3);

  EVP_MD_CTX* oracle = EVP_MD_CTX_new();
  EVP_DigestInit_ex(oracle, EVP_sha256(), nullptr);
  EVP_DigestUpdate(oracle, prefix.data(), pending);
  EVP_DigestUpdate(oracle, data, length);
  Digest expected{};
  EVP_DigestFinal_ex(oracle, expected.data(), nullptr);
  EVP_MD_CTX_free(oracle);

  Sha256Context context;
  Digest digest{};
  ASSERT_TRUE(Sha256Begin(&context));
  ASSERT_TRUE(Sha256Absorb(&context, prefix.data(), pending));
  ASSERT_TRUE(Sha256Absorb(&context, data, length));
  EXPECT_EQ(context.ByteCount, uint64_t{pending} + length);
  EXPECT_EQ(context.PendingBytes, static_cast<int32_t>((pending + length) % 64));
  ASSERT_TRUE(Sha256Finish(&context, digest.data()));
  EXPECT_EQ(digest, expected);
  munmap(mapping, mapped);
}

}  // namespace
