// Pass schedules of every method and the buffer fill, written out from the published sequences
// rather than derived from the code, so that an off-by-one in either shows.
#include "shred_patterns.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "kelvarin_shred.h"

namespace {

// "R" random, "B xx" one byte, "T xx yy zz" a triple.
std::string describe(const shred_pattern& p) {
  char text[32];
  switch (p.kind) {
    case SHRED_PATTERN_RANDOM:
      return "R";
    case SHRED_PATTERN_BYTE:
      std::snprintf(text, sizeof text, "B %02X", p.fill_byte);
      return text;
    case SHRED_PATTERN_TRIPLE:
      std::snprintf(text, sizeof text, "T %02X %02X %02X", p.sequence[0], p.sequence[1],
                    p.sequence[2]);
      return text;
    default:
      return "?";
  }
}

std::vector<std::string> schedule(int32_t method, int32_t from, int32_t to) {
  std::vector<std::string> out;
  for (int64_t pass = from; pass <= to; ++pass) {
    out.push_back(describe(shred_get_pattern(method, static_cast<int32_t>(pass))));
  }
  return out;
}

using Schedule = std::vector<std::string>;

TEST(Schedule, DodAndQuickIncludingPassesOutsideTheMethod) {
  EXPECT_EQ((Schedule{"R", "R", "R", "R"}), schedule(SHRED_METHOD_QUICK, -1, 2));
  EXPECT_EQ((Schedule{"R", "B 00", "B FF", "R", "R"}), schedule(SHRED_METHOD_DOD_3PASS, -1, 3));
  EXPECT_EQ((Schedule{"R", "B 00", "B FF", "R", "B 00", "B FF", "R", "R", "R"}),
            schedule(SHRED_METHOD_DOD_7PASS, -1, 7));
}

TEST(Schedule, GutmannInPublishedOrder) {
  const Schedule expected = {
      "R",          "R",          "R",          "R",                                     // 0-3
      "B 55",       "B AA",                                                              // 4-5
      "T 92 49 24", "T 49 24 92", "T 24 92 49",                                          // 6-8
      "B 00",       "B 11",       "B 22",       "B 33", "B 44", "B 55", "B 66", "B 77",  // 9-16
      "B 88",       "B 99",       "B AA",       "B BB", "B CC", "B DD", "B EE", "B FF",  // 17-24
      "T 92 49 24", "T 49 24 92", "T 24 92 49",                                          // 25-27
      "T 6D B6 DB", "T B6 DB 6D", "T DB 6D B6",                                          // 28-30
      "R",          "R",          "R",          "R",                                     // 31-34
  };
  EXPECT_EQ(expected, schedule(SHRED_METHOD_GUTMANN, 0, 34));
  EXPECT_EQ((Schedule{"R"}), schedule(SHRED_METHOD_GUTMANN, 35, 35));
  EXPECT_EQ((Schedule{"R"}), schedule(SHRED_METHOD_GUTMANN, -1, -1));
  EXPECT_EQ((Schedule{"R"}), schedule(SHRED_METHOD_GUTMANN, INT32_MIN, INT32_MIN));
}

TEST(Schedule, ModuloThreeRuleForCustomAndUnknownMethods) {
  EXPECT_EQ((Schedule{"B 00", "B FF", "R", "B 00", "B FF"}), schedule(SHRED_METHOD_CUSTOM, 0, 4));
  EXPECT_EQ((Schedule{"B 00", "B FF", "R"}), schedule(SHRED_METHOD_CUSTOM, 99, 101));
  EXPECT_EQ((Schedule{"B FF"}), schedule(7, 1, 1));
  EXPECT_EQ((Schedule{"B 00"}), schedule(-2, 0, 0));
  // The remainder truncates toward zero: -3 is a multiple of 3, -1 and -2 leave negatives.
  EXPECT_EQ((Schedule{"B 00", "R", "R"}), schedule(SHRED_METHOD_CUSTOM, -3, -1));
  EXPECT_EQ((Schedule{"B 00", "B FF"}), schedule(INT32_MIN, 0, 1));
  EXPECT_EQ((Schedule{"R"}), schedule(5, INT32_MIN, INT32_MIN));     // INT32_MIN % 3 == -2
  EXPECT_EQ((Schedule{"B FF"}), schedule(5, INT32_MAX, INT32_MAX));  // INT32_MAX % 3 == 1
}

TEST(Schedule, UnusedFieldsAreZeroSoEqualPassesCompareEqual) {
  for (int32_t method = -2; method <= 6; ++method) {
    for (int32_t pass = -4; pass <= 40; ++pass) {
      const shred_pattern a = shred_get_pattern(method, pass);
      const shred_pattern b = shred_get_pattern(method, pass);
      ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a));
      if (a.kind != SHRED_PATTERN_BYTE) {
        ASSERT_EQ(0, a.fill_byte);
      }
      if (a.kind != SHRED_PATTERN_TRIPLE) {
        ASSERT_EQ(0, a.sequence[0] | a.sequence[1] | a.sequence[2]);
      }
    }
  }
  const shred_pattern zero{};
  const shred_pattern random = shred_get_pattern(SHRED_METHOD_QUICK, 0);
  EXPECT_EQ(0, std::memcmp(&zero, &random, sizeof zero));
}

TEST(Fill, ByteFillsEveryPosition) {
  std::vector<uint8_t> buf(65536 + 1, 0x5A);
  const shred_pattern p = shred_get_pattern(SHRED_METHOD_DOD_3PASS, 1);
  shred_fill_pattern_buffer(&p, buf.data(), 65536);
  for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(0xFF, buf[i]) << i;
  EXPECT_EQ(0x5A, buf[65536]);
}

TEST(Fill, TripleTailsAndPhaseAtEveryLength) {
  const shred_pattern p = shred_get_pattern(SHRED_METHOD_GUTMANN, 28);  // 6D B6 DB
  const uint8_t seq[3] = {0x6D, 0xB6, 0xDB};
  for (size_t length : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{6}, size_t{7},
                        size_t{97}, size_t{65535}, size_t{65536}}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> buf(length + 2, 0x00);
    shred_fill_pattern_buffer(&p, buf.data(), length);
    for (size_t i = 0; i < length; ++i) ASSERT_EQ(seq[i % 3], buf[i]) << "at " << i;
    EXPECT_EQ(0x00, buf[length]);
    EXPECT_EQ(0x00, buf[length + 1]);
  }
  // The engine's whole buffer ends on a lone first byte of the sequence.
  std::vector<uint8_t> buf(65536);
  shred_fill_pattern_buffer(&p, buf.data(), buf.size());
  EXPECT_EQ(0xDB, buf[65534]);
  EXPECT_EQ(0x6D, buf[65535]);
}

TEST(Fill, NullOrEmptyArgumentsTouchNothing) {
  uint8_t buf[8];
  std::memset(buf, 0x77, sizeof buf);
  const shred_pattern p = shred_get_pattern(SHRED_METHOD_DOD_3PASS, 0);
  shred_fill_pattern_buffer(&p, buf, 0);
  shred_fill_pattern_buffer(nullptr, buf, sizeof buf);
  shred_fill_pattern_buffer(&p, nullptr, sizeof buf);
  for (uint8_t b : buf) EXPECT_EQ(0x77, b);
}

TEST(Fill, RandomAndUnknownKindsDrawRandomBytes) {
  for (int32_t kind : {int32_t{SHRED_PATTERN_RANDOM}, int32_t{3}, int32_t{-1}}) {
    SCOPED_TRACE(kind);
    shred_pattern p{};
    p.kind = kind;
    std::vector<uint8_t> a(4096, 0), b(4096, 0);
    shred_fill_pattern_buffer(&p, a.data(), a.size());
    shred_fill_pattern_buffer(&p, b.data(), b.size());
    EXPECT_NE(a, b);
    EXPECT_NE(std::vector<uint8_t>(4096, 0), a);
  }
}

}  // namespace
