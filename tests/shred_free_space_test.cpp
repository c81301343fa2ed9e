// The free-space wipe on both systems, against a disk that pretends to be full after a few MiB
// (the test build's disk limit): the real disk under the temporary directory is never filled.
// What must hold on every way out, success, failure, cancel and shutdown, is that nothing of the
// fill is left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "kelvarin_shred.h"
#include "platform/test_seams.h"
#include "test_util.h"

namespace {

using test_util::TempDir;
using test_util::WriteHold;

constexpr int64_t kPretendFree = 8 << 20;

struct WipeStats {
  long long bytes = -1, passes = -1, wiped = -1, unreached = -1;
};

WipeStats wipe_stats() {
  WipeStats s;
  long long files = -1, duration = -1;
  std::sscanf(shred_stats_json(),
              "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
              "\"duration_ms\":%lld,\"free_space_wiped\":%lld,\"free_space_unreached\":%lld}",
              &files, &s.bytes, &s.passes, &duration, &s.wiped, &s.unreached);
  return s;
}

class FreeSpace : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, shred_init());
    ASSERT_TRUE(dir_.ok());
    os_test_disk_full_after(kPretendFree);
  }
  void TearDown() override {
    os_test_disk_full_after(-1);
    os_test_fail_flushes(0);
    shred_cleanup();
  }
  std::string path() const { return dir_.path().string(); }

  TempDir dir_;
};

TEST_F(FreeSpace, FillsUntilFullWithEveryPassAndLeavesNothing) {
  test_util::write_file(dir_.file("keep.txt"), "not part of the fill");
  ASSERT_EQ(0, shred_free_space(path().c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  WipeStats s = wipe_stats();
  EXPECT_EQ(kPretendFree, s.wiped);
  EXPECT_EQ(kPretendFree, s.bytes);
  EXPECT_EQ(1, s.passes);
  EXPECT_EQ(std::vector<std::string>{"keep.txt"}, test_util::entries(dir_.path()));
  const std::vector<uint8_t> kept = test_util::read_file(dir_.file("keep.txt"));
  EXPECT_EQ("not part of the fill", std::string(kept.begin(), kept.end()));

  // Later passes rewrite what the first one filled, which needs no new space.
  os_test_disk_full_after(kPretendFree);
  ASSERT_EQ(0, shred_free_space(path().c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  s = wipe_stats();
  EXPECT_EQ(kPretendFree, s.wiped);
  EXPECT_EQ(3 * kPretendFree, s.bytes);
  EXPECT_EQ(3, s.passes);
  EXPECT_EQ(std::vector<std::string>{"keep.txt"}, test_util::entries(dir_.path()));
}

TEST_F(FreeSpace, AFullDiskFromTheStartIsNoFailure) {
  os_test_disk_full_after(0);
  ASSERT_EQ(0, shred_free_space(path().c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_EQ(0, wipe_stats().wiped);
  EXPECT_TRUE(test_util::entries(dir_.path()).empty());
}

TEST_F(FreeSpace, RefusesWhatIsNotADirectoryAndCreatesNothing) {
  EXPECT_EQ(-1, shred_free_space(nullptr, SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid directory path: NULL or empty", shred_last_error());
  EXPECT_EQ(-1, shred_free_space("", SHRED_METHOD_QUICK));
  EXPECT_EQ(-1, shred_free_space_async("", SHRED_METHOD_QUICK));

  const std::string missing = dir_.file("missing");
  EXPECT_EQ(-1, shred_free_space(missing.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Directory not found: " + missing, shred_last_error());

  const std::string file = dir_.file("file.txt");
  test_util::write_file(file, "a file");
  EXPECT_EQ(-1, shred_free_space(file.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Not a directory: " + file, shred_last_error());
  EXPECT_EQ(std::vector<std::string>{"file.txt"}, test_util::entries(dir_.path()));
}

TEST_F(FreeSpace, AFailedFlushFailsTheWipeAndTheFillIsRemoved) {
  os_test_fail_flushes(5);
  EXPECT_EQ(-1, shred_free_space(path().c_str(), SHRED_METHOD_QUICK));
  EXPECT_NE(std::string::npos, std::string(shred_last_error()).find("Flush failed on pass 1"))
      << shred_last_error();
  EXPECT_TRUE(test_util::entries(dir_.path()).empty());
}

// Holds the job's first write until `hold` lets go, so that the test acts while the fill exists.
void wait_for_held_write() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (os_test_writes_waiting() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(os_test_writes_waiting(), 0u);
}

TEST_F(FreeSpace, ACancelledJobRemovesItsFill) {
  WriteHold hold;
  const int32_t id = shred_free_space_async(path().c_str(), SHRED_METHOD_DOD_7PASS);
  ASSERT_GT(id, 0) << shred_last_error();
  wait_for_held_write();
  EXPECT_EQ(1u, test_util::entries(dir_.path()).size()) << "the fill directory exists";
  EXPECT_EQ(SHRED_JOB_RUNNING, shred_is_complete(id));
  EXPECT_EQ(0, shred_cancel(id));
  hold.release();
  EXPECT_EQ(SHRED_JOB_FAILED, test_util::wait_for_job(id, std::chrono::seconds(60)));
  EXPECT_TRUE(test_util::entries(dir_.path()).empty());
}

TEST_F(FreeSpace, AJobReportsProgressAndSucceeds) {
  const int32_t id = shred_free_space_async(path().c_str(), SHRED_METHOD_QUICK);
  ASSERT_GT(id, 0) << shred_last_error();
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, test_util::wait_for_job(id, std::chrono::seconds(60)))
      << shred_last_error();
  EXPECT_EQ(100, shred_progress(id));
  EXPECT_TRUE(test_util::entries(dir_.path()).empty());
}

TEST_F(FreeSpace, ShutdownCancelsAWipeThatThenRemovesItsFill) {
  WriteHold hold;
  const int32_t id = shred_free_space_async(path().c_str(), SHRED_METHOD_QUICK);
  ASSERT_GT(id, 0) << shred_last_error();
  wait_for_held_write();
  // The worker is held inside a write, so the shutdown's bounded wait ends first; once let go,
  // the worker finds its cancel flag and removes the fill by itself.
  shred_cleanup();
  hold.release();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!test_util::entries(dir_.path()).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(test_util::entries(dir_.path()).empty());
}

}  // namespace
