// Jobs through the exported functions: ids, queries of live and unknown ids, cancellation, a full
// table, shutdown with workers that stop at its flags and with workers that cannot stop in time,
// and what set-up does to them. The test build's write gate holds workers inside their writes so
// that "running" is a state a test can count on, without sleeping.
#include "shred_async.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "platform/test_seams.h"
#include "shred_report.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::current_stats;
using test_util::read_file;
using test_util::sample_content;
using test_util::TempDir;
using test_util::write_file;
using Clock = std::chrono::steady_clock;

int32_t wait_for(int32_t id, std::chrono::seconds limit = std::chrono::seconds(30)) {
  return test_util::wait_for_job(id, limit);
}

class Jobs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, shred_init()); }
  void TearDown() override {
    os_test_hold_writes(false);
    shred_cleanup();
  }

  std::string make_file(const std::string& name, size_t size) {
    const std::string path = dir_.file(name);
    write_file(path, sample_content(size));
    return path;
  }

  TempDir dir_;
};

TEST_F(Jobs, IdsCountFromOneAndRefusedSubmissionsUseNone) {
  EXPECT_EQ(-1, shred_file_async(nullptr, SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid file path: NULL or empty", shred_last_error());
  EXPECT_EQ(-1, shred_directory_async("", SHRED_METHOD_QUICK, 1));
  EXPECT_STREQ("Invalid directory path: NULL or empty", shred_last_error());
  const std::string too_long(2048, 'x');
  EXPECT_EQ(-1, shred_file_async(too_long.c_str(), SHRED_METHOD_QUICK));
  EXPECT_STREQ("Path too long for a job: 2048 bytes (at most 2047)", shred_last_error());

  shred_set_error("kept");
  const int32_t first = shred_file_async(make_file("a", 100).c_str(), SHRED_METHOD_QUICK);
  EXPECT_EQ(1, first);
  EXPECT_STREQ("kept", shred_last_error());  // a submission does not reset the text
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, wait_for(first));
  EXPECT_EQ(2, shred_file_async(make_file("b", 100).c_str(), SHRED_METHOD_QUICK));
  // Jobs one after another share slot 0: the first job is gone from the table.
  EXPECT_EQ(-1, shred_is_complete(first));
  EXPECT_EQ(-1, shred_progress(first));
  EXPECT_EQ(-1, shred_cancel(first));
}

TEST_F(Jobs, UnknownIdsAnswerMinusOneEverywhere) {
  for (int32_t id : {0, -1, 1, 99, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(-1, shred_progress(id));
    EXPECT_EQ(-1, shred_is_complete(id));
    EXPECT_EQ(-1, shred_cancel(id));
  }
}

TEST_F(Jobs, SuccessfulJobsReadOneHundredPercentEvenWithoutWrites) {
  const std::string file = make_file("f.bin", 200000);
  const int32_t a = shred_file_async(file.c_str(), SHRED_METHOD_CUSTOM);
  ASSERT_EQ(SHRED_JOB_SUCCEEDED, wait_for(a));
  EXPECT_EQ(100, shred_progress(a));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(1, current_stats().passes);  // Custom as a job: one pass

  const std::string empty = make_file("empty", 0);
  const int32_t b = shred_file_async(empty.c_str(), 9);  // unknown methods run as themselves
  ASSERT_EQ(SHRED_JOB_SUCCEEDED, wait_for(b));
  EXPECT_EQ(100, shred_progress(b));

  const fs::path tree = dir_.path() / "tree";
  fs::create_directories(tree / "sub");
  const int32_t c = shred_directory_async(tree.string().c_str(), SHRED_METHOD_QUICK, 7);
  ASSERT_EQ(SHRED_JOB_SUCCEEDED, wait_for(c));
  EXPECT_EQ(100, shred_progress(c));
  EXPECT_FALSE(fs::exists(tree));
}

TEST_F(Jobs, FailedJobKeepsItsLastPercentAndTheEngineMessage) {
  const std::string missing = dir_.file("missing");
  const int32_t id = shred_file_async(missing.c_str(), SHRED_METHOD_QUICK);
  ASSERT_GT(id, 0);
  EXPECT_EQ(SHRED_JOB_FAILED, wait_for(id));
  EXPECT_EQ(0, shred_progress(id));
  EXPECT_EQ("File not found: " + missing, shred_last_error());
}

TEST_F(Jobs, CancelStopsARunningJobAndChangesNothingAfterTheEnd) {
  const std::string file = make_file("held.bin", 300000);
  os_test_hold_writes(true);
  const int32_t id = shred_file_async(file.c_str(), SHRED_METHOD_DOD_3PASS);
  ASSERT_GT(id, 0);
  os_test_permit_writes(2);  // two chunks, then the third waits
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (shred_progress(id) < 14 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(14, shred_progress(id));  // 131072 of 900000 bytes
  EXPECT_EQ(0, shred_cancel(id));
  EXPECT_EQ(SHRED_JOB_RUNNING, shred_is_complete(id));
  os_test_hold_writes(false);
  EXPECT_EQ(SHRED_JOB_FAILED, wait_for(id));
  EXPECT_EQ(21, shred_progress(id));  // the chunk in flight was still reported
  EXPECT_STREQ("Shredding operation cancelled by user", shred_last_error());
  EXPECT_EQ(300000u, read_file(file).size());

  // On an ended job the flag changes nothing, however often it is raised.
  const int32_t done = shred_file_async(make_file("done", 10).c_str(), SHRED_METHOD_QUICK);
  ASSERT_EQ(SHRED_JOB_SUCCEEDED, wait_for(done));
  EXPECT_EQ(0, shred_cancel(done));
  EXPECT_EQ(0, shred_cancel(done));
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, shred_is_complete(done));
  EXPECT_EQ(100, shred_progress(done));
}

TEST_F(Jobs, FullTableRefusesWithoutUsingAnIdAndFreesAsSoonAsOneEnds) {
  os_test_hold_writes(true);
  std::vector<int32_t> ids;
  for (int i = 0; i < 128; ++i) {
    ids.push_back(shred_file_async(make_file("f" + std::to_string(i), 100).c_str(), 0));
    ASSERT_EQ(i + 1, ids.back());
  }
  const std::string extra = make_file("extra", 100);
  EXPECT_EQ(-1, shred_file_async(extra.c_str(), SHRED_METHOD_QUICK));
  EXPECT_STREQ("Async job queue full (max 128 concurrent jobs)", shred_last_error());
  EXPECT_EQ(-1, shred_directory_async(dir_.path().string().c_str(), SHRED_METHOD_QUICK, 1));

  os_test_permit_writes(1);  // exactly one job can finish
  int32_t id = -1;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (id == -1 && Clock::now() < deadline) {
    id = shred_file_async(extra.c_str(), SHRED_METHOD_QUICK);
    if (id == -1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(129, id);
  int running = 0;
  for (int32_t old : ids) running += shred_is_complete(old) == SHRED_JOB_RUNNING ? 1 : 0;
  EXPECT_EQ(127, running);
}

// True once no worker holds `path` open any more: a job's worker closes its file before it ends,
// and the exclusive open fails while any other opener has it.
bool released(const std::string& path) {
  uint32_t error = 0;
  os_file probe(os_open_exclusive(path.c_str(), &error));
  return probe.valid() || !fs::exists(path);
}

// Polls `condition` until it holds; the limit only keeps a broken build from hanging the suite.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST_F(Jobs, ShutdownCancelsEveryJobAndReturnsOnlyAfterItsWorkersEnded) {
  constexpr size_t kChunks = 16;
  const auto original = sample_content(kChunks * 65536);
  const std::string a = dir_.file("a");
  const std::string b = dir_.file("b");
  write_file(a, original);
  write_file(b, original);
  os_test_hold_writes(true);
  const int32_t first = shred_file_async(a.c_str(), SHRED_METHOD_QUICK);
  const int32_t second = shred_file_async(b.c_str(), SHRED_METHOD_QUICK);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  ASSERT_TRUE(eventually([] { return os_test_writes_waiting() == 2; }));

  std::atomic<bool> returned{false};
  bool a_released_on_return = false;
  bool b_released_on_return = false;
  std::thread shutdown([&] {
    shred_cleanup();
    a_released_on_return = released(a);
    b_released_on_return = released(b);
    returned = true;
  });
  // Writes are let through one at a time, fewer than either file needs: a worker can end only by
  // seeing the cancel flag that shutdown raises, never by finishing its file.
  uint32_t permits = 0;
  const bool ended = eventually([&] {
    if (permits < kChunks - 1 && os_test_writes_waiting() > 0) {
      os_test_permit_writes(1);
      ++permits;
    }
    return returned.load();
  });
  os_test_hold_writes(false);
  shutdown.join();
  ASSERT_TRUE(ended) << "shutdown did not return";
  EXPECT_TRUE(a_released_on_return) << "shutdown returned while a worker still had its file";
  EXPECT_TRUE(b_released_on_return) << "shutdown returned while a worker still had its file";
  EXPECT_EQ(-1, shred_is_complete(first));
  EXPECT_EQ(-1, shred_progress(second));
  // Cancelled, not finished: both files keep their names, their length and their last chunk.
  for (const std::string& path : {a, b}) {
    SCOPED_TRACE(path);
    const auto after = read_file(path);
    ASSERT_EQ(original.size(), after.size());
    EXPECT_TRUE(std::equal(original.end() - 65536, original.end(), after.end() - 65536));
  }
}

TEST_F(Jobs, ShutdownLeavesStuckWorkersBehindAndNewJobsNeverMeetThem) {
  // Two chunks each: after the held first one, the workers meet their cancel flags.
  const auto original = sample_content(70000);
  const std::string a = dir_.file("a");
  const std::string b = dir_.file("b");
  write_file(a, original);
  write_file(b, original);
  os_test_hold_writes(true);  // these workers cannot see their cancel flag until released
  const int32_t first = shred_file_async(a.c_str(), SHRED_METHOD_QUICK);
  const int32_t second = shred_file_async(b.c_str(), SHRED_METHOD_QUICK);
  ASSERT_EQ(1, first);
  ASSERT_EQ(2, second);
  ASSERT_TRUE(eventually([] { return os_test_writes_waiting() == 2; }));

  // The wait is bounded: shutdown comes back while both workers are still stuck, and forgets
  // their jobs. (2000 ms for each worker; the limit here only catches a hang.)
  const auto start = Clock::now();
  shred_cleanup();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(2u, os_test_writes_waiting());
  EXPECT_EQ(-1, shred_is_complete(first));
  EXPECT_EQ(-1, shred_progress(second));
  // Their slots are already empty, so a second shutdown has nothing to wait for; waiting for the
  // stuck workers again would take 2000 ms for each.
  const auto again = Clock::now();
  shred_cleanup();
  EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(2000));

  // A new table while both workers still run: they keep their slots and their ids.
  ASSERT_EQ(0, shred_init());
  const std::string c = make_file("c", 70000);
  const int32_t fresh = shred_file_async(c.c_str(), SHRED_METHOD_QUICK);
  EXPECT_EQ(3, fresh);
  os_test_hold_writes(false);
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, wait_for(fresh));
  EXPECT_EQ(100, shred_progress(fresh));
  // Released, the stragglers write the chunk they held and stop at their raised flags: each file
  // keeps its name, its length and its second chunk.
  ASSERT_TRUE(eventually([&] { return released(a) && released(b); }));
  for (const std::string& path : {a, b}) {
    SCOPED_TRACE(path);
    const auto after = read_file(path);
    ASSERT_EQ(original.size(), after.size());
    EXPECT_TRUE(std::equal(original.begin() + 65536, original.end(), after.begin() + 65536));
    EXPECT_FALSE(std::equal(original.begin(), original.begin() + 65536, after.begin()));
  }
}

TEST_F(Jobs, IdsWrapToOneAfterTheLargestAndSkipIdsInUse) {
  shred_test_set_next_job_id(INT32_MAX);
  os_test_hold_writes(true);
  const int32_t last = shred_file_async(make_file("x", 10).c_str(), SHRED_METHOD_QUICK);
  EXPECT_EQ(INT32_MAX, last);
  const int32_t wrapped = shred_file_async(make_file("y", 10).c_str(), SHRED_METHOD_QUICK);
  EXPECT_EQ(1, wrapped);
  shred_test_set_next_job_id(INT32_MAX);  // INT32_MAX and 1 are held: the next is 2
  EXPECT_EQ(2, shred_file_async(make_file("z", 10).c_str(), SHRED_METHOD_QUICK));
  os_test_hold_writes(false);
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, wait_for(last));
  EXPECT_EQ(SHRED_JOB_SUCCEEDED, wait_for(wrapped));
}

TEST(JobsLifecycle, CleanupWithoutJobsReturnsAtOnceAndLeavesTheTexts) {
  ASSERT_EQ(0, shred_init());
  EXPECT_STREQ("No error", shred_last_error());
  shred_set_error("left alone");
  shred_record_stats(1, 2, 3, 4);
  const std::string stats = shred_stats_json();
  const auto start = Clock::now();
  shred_cleanup();
  shred_cleanup();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_STREQ("left alone", shred_last_error());
  EXPECT_EQ(stats, shred_stats_json());
  ASSERT_EQ(0, shred_init());
  EXPECT_EQ(0, current_stats().files);
}

}  // namespace
