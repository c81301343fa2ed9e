// The reporting texts and the method catalogue: exact texts, cut-off, and writers racing.
#include "shred_report.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"

namespace {

TEST(LastError, FormatsClearsAndKeepsItsAddress) {
  const char* const address = shred_last_error();
  shred_set_error("Write failed on pass %d: %s (error %lu)", 2, "a/b.txt", 28UL);
  EXPECT_STREQ("Write failed on pass 2: a/b.txt (error 28)", shred_last_error());
  shred_clear_error();
  EXPECT_STREQ("No error", shred_last_error());
  EXPECT_EQ(address, shred_last_error());
}

TEST(LastError, LongMessageIsCutTo1023Characters) {
  const std::string path(1100, 'p');
  shred_set_error("File not found: %s", path.c_str());
  const std::string text = shred_last_error();
  ASSERT_EQ(1023u, text.size());
  EXPECT_EQ("File not found: " + path.substr(0, 1023 - 16), text);
}

TEST(StatsJson, DescribesOneRunExactlyAndLongestFits) {
  const char* const address = shred_stats_json();
  shred_record_stats(1, 300000, 3, 12);
  EXPECT_STREQ(
      "{\"files_shredded\":1,\"bytes_overwritten\":300000,\"passes_completed\":3,"
      "\"duration_ms\":12}",
      shred_stats_json());
  shred_record_stats(1, 0, 35, -4);  // a clock set back during a run gives a negative duration
  EXPECT_STREQ(
      "{\"files_shredded\":1,\"bytes_overwritten\":0,\"passes_completed\":35,\"duration_ms\":-4}",
      shred_stats_json());
  shred_record_stats(INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN);
  EXPECT_EQ(155u, std::strlen(shred_stats_json()));
  EXPECT_EQ(address, shred_stats_json());
  shred_record_stats(0, 0, 0, 0);
}

TEST(LastError, ConcurrentWritersLeaveOneWholeMessage) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      const std::string mine(200 + t * 100, static_cast<char>('a' + t));
      for (int i = 0; i < 2000; ++i) {
        shred_set_error("%s", mine.c_str());
        shred_record_stats(t, i, t, i);
      }
    });
  }
  for (auto& w : writers) w.join();
  const std::string text = shred_last_error();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(std::string(text.size(), text[0]), text);
  EXPECT_EQ(200u + (text[0] - 'a') * 100u, text.size());
}

TEST(Clock, CountsMillisecondsSince1601) {
  // 2020-01-01 00:00 UTC is 13222310400000 ms after 1601-01-01; the clock must be past it.
  const int64_t a = shred_get_time_ms();
  EXPECT_GT(a, 13222310400000LL);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int64_t elapsed = shred_get_time_ms() - a;
  EXPECT_GE(elapsed, 15);
  EXPECT_LT(elapsed, 5000);
}

TEST(Catalogue, NamesAndPassCounts) {
  struct Row {
    shred_method method;
    const char* name;
    int32_t passes;
  };
  const Row rows[] = {
      {0, "Quick (1-pass)", 1},
      {1, "DOD 5220.22-M (3-pass)", 3},
      {2, "DOD 5220.22-M (7-pass)", 7},
      {3, "Gutmann (35-pass)", 35},
      {4, "Custom", 0},
      {5, "Unknown", 1},
      {100, "Unknown", 1},
      {-1, "Unknown", 1},
      {INT32_MIN, "Unknown", 1},
      {INT32_MAX, "Unknown", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.method);
    EXPECT_STREQ(row.name, shred_method_name(row.method));
    EXPECT_EQ(row.passes, shred_method_passes(row.method));
  }
  EXPECT_EQ(shred_method_name(2), shred_method_name(2));  // constant text, same pointer
}

}  // namespace
