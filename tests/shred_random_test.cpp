// The random source: every byte written, statistically plausible output, the rand() fallback
// reached through the test build's switch, and the exact character mapping of random names.
#include "shred_random.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kCharset[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Restores the system generator even when an assertion leaves the test early.
struct FailingSystemGenerator {
  FailingSystemGenerator() { shred_test_fail_system_random(true); }
  ~FailingSystemGenerator() { shred_test_fail_system_random(false); }
};

TEST(FillRandom, NullOrEmptyIsNotAnError) {
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(0, shred_fill_random(nullptr, 16));
  EXPECT_EQ(0, shred_fill_random(buf, 0));
  EXPECT_EQ(0, std::memcmp(buf, "\x01\x02\x03\x04", 4));
}

TEST(FillRandom, FillsEveryByteWithUniformFreshOutput) {
  // 16 MiB in engine-sized and odd-sized requests: each byte value should come up about 65536
  // times; a stuck, zero-filled or repeated region would push counts far out of this band.
  constexpr size_t kChunk = 65536 + 13;
  std::vector<uint8_t> buf(kChunk);
  std::vector<uint64_t> counts(256, 0);
  std::vector<uint8_t> first;
  for (int round = 0; round < 256; ++round) {
    std::memset(buf.data(), 0, buf.size());
    ASSERT_EQ(0, shred_fill_random(buf.data(), round % 2 ? kChunk : 65536));
    if (round == 0) first.assign(buf.begin(), buf.begin() + 65536);
    if (round == 2) {
      EXPECT_NE(first, std::vector<uint8_t>(buf.begin(), buf.begin() + 65536));
    }
    // No long run of untouched zeros anywhere, including the tail past 64 KiB.
    const size_t filled = round % 2 ? kChunk : 65536;
    size_t run = 0;
    for (size_t i = 0; i < filled; ++i) {
      run = buf[i] == 0 ? run + 1 : 0;
      ASSERT_LT(run, 8u) << "zero run ending at " << i;
      ++counts[buf[i]];
    }
  }
  uint64_t total = 0;
  for (uint64_t c : counts) total += c;
  const double expected = static_cast<double>(total) / 256;
  for (int v = 0; v < 256; ++v) {
    EXPECT_NEAR(expected, static_cast<double>(counts[v]), expected * 0.04) << "byte " << v;
  }
}

TEST(FillRandom, FailingGeneratorFallsBackToUnseededRandSequence) {
  std::vector<uint8_t> expected(1000);
  std::srand(1);
  for (auto& b : expected) b = static_cast<uint8_t>(std::rand() & 0xFF);

  FailingSystemGenerator failing;
  std::vector<uint8_t> got(1000, 0);
  std::srand(1);
  EXPECT_EQ(-1, shred_fill_random(got.data(), got.size()));
  EXPECT_EQ(expected, got);
}

TEST(Alphanumeric, LengthsBlocksAndTerminator) {
  for (uint64_t length : {1u, 16u, 127u, 128u, 129u, 300u}) {
    SCOPED_TRACE(length);
    std::vector<char> out(length + 2, '#');
    ASSERT_EQ(0, shred_random_alphanumeric(out.data(), length));
    for (uint64_t i = 0; i < length; ++i) {
      ASSERT_NE(nullptr, std::strchr(kCharset, out[i])) << "position " << i;
      ASSERT_NE('\0', out[i]);
    }
    EXPECT_EQ('\0', out[length]);
    EXPECT_EQ('#', out[length + 1]);
  }
  char a[17], b[17];
  shred_random_alphanumeric(a, 16);
  shred_random_alphanumeric(b, 16);
  EXPECT_STRNE(a, b);
}

TEST(Alphanumeric, NullOrEmptyWritesNothing) {
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(-1, shred_random_alphanumeric(nullptr, 16));
  EXPECT_EQ(-1, shred_random_alphanumeric(out, 0));
  EXPECT_EQ('x', out[0]);
}

TEST(Alphanumeric, EachByteMapsToCharsetAtByteMod62) {
  // Through the fallback the raw bytes are known, so the mapping (0 -> a, 61 -> 9, 62 -> a,
  // 255 -> h) is checked for 300 characters across three blocks.
  std::string expected;
  std::srand(1);
  for (int i = 0; i < 300; ++i) expected += kCharset[(std::rand() & 0xFF) % 62];

  FailingSystemGenerator failing;
  std::vector<char> out(301);
  std::srand(1);
  EXPECT_EQ(0, shred_random_alphanumeric(out.data(), 300));
  EXPECT_EQ(expected, std::string(out.data()));
}

}  // namespace
