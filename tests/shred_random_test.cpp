// The random source: every byte written, statistically plausible output, the rand() fallback
// reached through the test build's switch, the caller's rand() left alone, and the character
// mapping of random names from bytes the test build forces.
#include "shred_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kelvarin_shred.h"
#include "test_util.h"

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

TEST(FillRandom, FailingGeneratorStillFillsEveryByteAndSaysSo) {
  FailingSystemGenerator failing;
  // Two different fill values before the call: bytes left alone would show as far more than the
  // 1 in 256 of that value that random output holds, in a run or scattered.
  for (uint8_t before : {uint8_t{0x00}, uint8_t{0xFF}}) {
    SCOPED_TRACE(static_cast<int>(before));
    std::vector<uint8_t> buf(65536 + 7, before);
    EXPECT_EQ(-1, shred_fill_random(buf.data(), buf.size()));
    EXPECT_LT(std::count(buf.begin(), buf.end(), before), 2 * 65536 / 256);
    size_t run = 0;
    std::vector<bool> seen(256, false);
    for (size_t i = 0; i < buf.size(); ++i) {
      run = buf[i] == before ? run + 1 : 0;
      ASSERT_LT(run, 8u) << "untouched run ending at " << i;
      seen[buf[i]] = true;
    }
    // A stuck fallback (one value, or a short cycle) would leave most byte values unseen.
    EXPECT_EQ(256, std::count(seen.begin(), seen.end(), true));
  }
  std::vector<uint8_t> a(4096), b(4096);
  EXPECT_EQ(-1, shred_fill_random(a.data(), a.size()));
  EXPECT_EQ(-1, shred_fill_random(b.data(), b.size()));
  EXPECT_NE(a, b) << "the fallback repeated itself";

  // Names are still made, from the fallback's bytes.
  char name[17];
  ASSERT_EQ(0, shred_random_alphanumeric(name, 16));
  for (int i = 0; i < 16; ++i) ASSERT_NE(nullptr, std::strchr(kCharset, name[i])) << i;
  EXPECT_EQ('\0', name[16]);
}

TEST(FillRandom, WorkingGeneratorLeavesTheCallersRandSequenceAlone) {
  // A program using this library may rely on its own rand() sequence: the library never seeds it
  // and, while the system generator works, never draws from it.
  std::srand(20240);
  std::vector<int> expected(16);
  for (int& v : expected) v = std::rand();

  std::srand(20240);
  ASSERT_EQ(0, shred_init());
  std::vector<uint8_t> buf(100000);
  EXPECT_EQ(0, shred_fill_random(buf.data(), buf.size()));
  char name[301];
  EXPECT_EQ(0, shred_random_alphanumeric(name, 300));
  shred_filler* filler = shred_filler_start();
  if (filler != nullptr) {
    shred_filler_next(filler);
    shred_filler_stop(filler);
  }
  test_util::TempDir dir;
  const std::string path = dir.file("f.bin");
  test_util::write_file(path, test_util::sample_content(70000));
  EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_7PASS)) << shred_last_error();
  shred_cleanup();
  std::vector<int> got(16);
  for (int& v : got) v = std::rand();
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

TEST(Alphanumeric, EveryByteValueMapsIntoTheAlphabetAndNoneIsDiscarded) {
  // Every byte value once, in order: 256 characters, two blocks of 128.
  std::vector<uint8_t> bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  test_util::ForcedNameBytes forced(bytes);
  std::vector<char> out(257, '#');
  ASSERT_EQ(0, shred_random_alphanumeric(out.data(), 256));
  EXPECT_EQ(256u, forced.used()) << "one raw byte per character, none drawn again";
  const std::string text(out.data(), 256);
  EXPECT_EQ('\0', out[256]);

  // The alphabet's ends and its wrap: 0 -> a, 25 -> z, 26 -> A, 51 -> Z, 52 -> 0, 61 -> 9,
  // 62 -> a again, 127 -> d and 128 -> e across the block boundary, 255 -> h.
  const std::pair<size_t, char> spots[] = {{0, 'a'},   {25, 'z'},  {26, 'A'},  {51, 'Z'},
                                           {52, '0'},  {61, '9'},  {62, 'a'},  {123, '9'},
                                           {127, 'd'}, {128, 'e'}, {248, 'a'}, {255, 'h'}};
  for (const auto& [byte, expected] : spots) EXPECT_EQ(expected, text[byte]) << "byte " << byte;

  // 256 = 4 x 62 + 8: a to h come up five times, every other character four times.
  for (size_t c = 0; c < 62; ++c) {
    const auto count = std::count(text.begin(), text.end(), kCharset[c]);
    EXPECT_EQ(c < 8 ? 5 : 4, count) << kCharset[c];
  }
}

}  // namespace
