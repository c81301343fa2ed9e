// The file engine and the verification on the real file system of the machine (and under Wine on
// Windows): refusals, what each pass writes, progress, cancellation, statistics, the rename, and
// the verification's thresholds.
#include "shred_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_random.h"
#include "shred_report.h"
#include "test_util.h"

namespace {

using test_util::current_stats;
using test_util::read_file;
using test_util::sample_content;
using test_util::TempDir;
using test_util::write_file;

using test_util::on_windows;

std::string safety_message(const std::string& path) {
  return "Safety violation: refusing to shred root, working directory, or special path: " + path;
}

// What the progress sink saw; the engine calls it on the calling thread.
std::vector<int32_t> g_percents;
std::vector<int64_t> g_done;
std::vector<int64_t> g_total;

void record_progress(int32_t job_id, int32_t percent, int64_t done, int64_t total) {
  EXPECT_EQ(42, job_id);
  g_percents.push_back(percent);
  g_done.push_back(done);
  g_total.push_back(total);
}

shred_job_ctx recording_ctx() {
  g_percents.clear();
  g_done.clear();
  g_total.clear();
  return shred_job_ctx{nullptr, 42, 0, record_progress};
}

TEST(EngineRefuses, EmptyPathsAndProtectedShapesBeforeTouchingAnything) {
  EXPECT_EQ(-1, shred_file(nullptr, SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid file path: path is NULL or empty", shred_last_error());
  EXPECT_EQ(-1, shred_file("", SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid file path: path is NULL or empty", shred_last_error());

  for (const char* path : {"/", "//", ".", "..", "C:", "z:", "C:\\", "d:/", "\\\\server\\share",
                           "\\\\", "\\\\?\\C:\\file.txt"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(-1, shred_file(path, SHRED_METHOD_DOD_3PASS));
    EXPECT_EQ(safety_message(path), shred_last_error());
  }
  // Shapes that pass the shape test fail later, for what they name.
  EXPECT_EQ(-1, shred_file("///", SHRED_METHOD_QUICK));
  EXPECT_NE(safety_message("///"), shred_last_error());
}

TEST(EngineRefuses, MissingFilesAndDirectories) {
  TempDir dir;
  const std::string missing = dir.file("missing.txt");
  EXPECT_EQ(-1, shred_file(missing.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("File not found: " + missing, shred_last_error());

  const std::string sub = dir.file("sub");
  test_util::fs::create_directory(sub);
  EXPECT_EQ(-1, shred_file(sub.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Path is a directory, not a file: " + sub + " (use shred_directory instead)",
            shred_last_error());
  EXPECT_TRUE(test_util::fs::is_directory(sub));
}

TEST(EngineRefuses, CustomPassCountsOutsideOneToHundred) {
  TempDir dir;
  const std::string path = dir.file("keep.txt");
  const auto content = sample_content(1000);
  write_file(path, content);
  for (int32_t passes : {0, -1, 101, INT32_MIN}) {
    EXPECT_EQ(-1, shred_file_custom(path.c_str(), passes));
    EXPECT_EQ("Invalid passes count for custom shred: " + std::to_string(passes) +
                  " (must be between 1 and 100)",
              shred_last_error());
  }
  EXPECT_EQ(content, read_file(path));
}

TEST(EngineShreds, RemovesTheFileAndRecordsOneRun) {
  TempDir dir;
  const std::string path = dir.file("secret.bin");
  write_file(path, sample_content(100000));
  shred_set_error("an earlier failure");
  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_STREQ("No error", shred_last_error());
  EXPECT_TRUE(test_util::entries(dir.path()).empty());
  const auto stats = current_stats();
  EXPECT_EQ(1, stats.files);
  EXPECT_EQ(300000, stats.bytes);
  EXPECT_EQ(3, stats.passes);
  EXPECT_GE(stats.duration, 0);

  // A failure afterwards leaves the document alone.
  EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(300000, current_stats().bytes);
}

TEST(EngineShreds, PassCountsOfEveryEntryPoint) {
  TempDir dir;
  struct Case {
    int32_t method, passes_arg;
    bool custom_entry;
    long long expected;
  };
  const Case cases[] = {
      {0, 0, false, 1}, {1, 0, false, 3},  {2, 0, false, 7},    {3, 0, false, 35}, {4, 0, false, 1},
      {5, 0, false, 1}, {-1, 0, false, 1}, {4, 100, true, 100}, {4, 1, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << " passes " << c.passes_arg);
    const std::string path = dir.file("f.bin");
    write_file(path, sample_content(700));
    const int32_t rc = c.custom_entry ? shred_file_custom(path.c_str(), c.passes_arg)
                                      : shred_file(path.c_str(), c.method);
    ASSERT_EQ(0, rc) << shred_last_error();
    EXPECT_EQ(c.expected, current_stats().passes);
    EXPECT_EQ(c.expected * 700, current_stats().bytes);
  }
  // The engine runs the count it is given, whatever the method, and refuses one below 1
  // before touching the file.
  for (auto [method, passes, expected] : {std::tuple{4, 5, 5LL}, {1, 4, 4LL}, {0, 2, 2LL}}) {
    const std::string path = dir.file("g.bin");
    write_file(path, sample_content(10));
    ASSERT_EQ(0, shred_file_internal(path.c_str(), method, passes, nullptr));
    EXPECT_EQ(expected, current_stats().passes);
  }
  const std::string kept = dir.file("h.bin");
  write_file(kept, sample_content(10));
  for (int32_t passes : {0, -7}) {
    EXPECT_EQ(-1, shred_file_internal(kept.c_str(), SHRED_METHOD_CUSTOM, passes, nullptr));
    EXPECT_EQ("Invalid pass count: " + std::to_string(passes), shred_last_error());
  }
  EXPECT_EQ(sample_content(10), read_file(kept));
}

TEST(EngineShreds, EmptyFileRunsEveryPassWithoutWritingOrReporting) {
  TempDir dir;
  const std::string path = dir.file("empty");
  write_file(path, std::vector<uint8_t>{});
  shred_job_ctx ctx = recording_ctx();
  ASSERT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_7PASS, 7, &ctx));
  EXPECT_TRUE(g_percents.empty());
  const auto stats = current_stats();
  EXPECT_EQ(1, stats.files);
  EXPECT_EQ(0, stats.bytes);
  EXPECT_EQ(7, stats.passes);
  EXPECT_FALSE(test_util::fs::exists(path));
}

TEST(EngineProgress, ReportsThePercentOfTheWholeRunAfterEveryChunk) {
  TempDir dir;
  const std::string path = dir.file("p.bin");
  write_file(path, sample_content(100000));
  shred_job_ctx ctx = recording_ctx();
  ASSERT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_EQ((std::vector<int32_t>{21, 33, 55, 66, 88, 100}), g_percents);
  EXPECT_EQ((std::vector<int64_t>{65536, 100000, 165536, 200000, 265536, 300000}), g_done);
  EXPECT_EQ(std::vector<int64_t>(6, 300000), g_total);

  write_file(path, sample_content(131073));
  ctx = recording_ctx();
  ASSERT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_QUICK, 1, &ctx));
  EXPECT_EQ((std::vector<int32_t>{49, 99, 100}), g_percents);

  // Chunk boundaries: 65536 bytes is one write per pass, 65537 two.
  write_file(path, sample_content(65536));
  ctx = recording_ctx();
  ASSERT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_EQ((std::vector<int32_t>{33, 66, 100}), g_percents);
  write_file(path, sample_content(65537));
  ctx = recording_ctx();
  ASSERT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_QUICK, 1, &ctx));
  EXPECT_EQ((std::vector<int64_t>{65536, 65537}), g_done);
}

// Reads the file under the engine's feet after the last chunk of each pass. Windows keeps other
// openers out of the file, so there the test has nothing to read and says so.
std::string g_watched;
int64_t g_watched_size = 0;
std::vector<std::vector<uint8_t>> g_pass_contents;

void capture_each_pass(int32_t, int32_t, int64_t done, int64_t) {
  if (done % g_watched_size == 0) g_pass_contents.push_back(read_file(g_watched));
}

TEST(EnginePasses, EachPassWritesItsPatternFromEveryChunkStart) {
  TempDir dir;
  g_watched = dir.file("watched.bin");
  g_watched_size = 2 * 65536 + 5;
  write_file(g_watched, sample_content(static_cast<size_t>(g_watched_size)));
  g_pass_contents.clear();
  shred_job_ctx ctx{nullptr, 1, 0, capture_each_pass};
  ASSERT_EQ(0, shred_file_internal(g_watched.c_str(), SHRED_METHOD_GUTMANN, 35, &ctx));
  if (on_windows()) GTEST_SKIP() << "Windows denies other openers while the engine writes";
  ASSERT_EQ(35u, g_pass_contents.size());

  auto expect_byte = [](size_t pass, uint8_t value) {
    SCOPED_TRACE(pass);
    ASSERT_EQ(static_cast<size_t>(g_watched_size), g_pass_contents[pass].size());
    for (uint8_t b : g_pass_contents[pass]) ASSERT_EQ(value, b);
  };
  expect_byte(4, 0x55);
  expect_byte(5, 0xAA);
  for (size_t p = 9; p <= 24; ++p) expect_byte(p, static_cast<uint8_t>(0x11 * (p - 9)));

  // A triple restarts at sequence[0] at every 65536-byte chunk, so its phase shifts there.
  const std::vector<uint8_t>& triple = g_pass_contents[28];  // 6D B6 DB
  const uint8_t seq[3] = {0x6D, 0xB6, 0xDB};
  for (size_t i = 0; i < triple.size(); ++i) ASSERT_EQ(seq[(i % 65536) % 3], triple[i]) << i;

  // Random passes differ from one another and from the original.
  const auto original = sample_content(static_cast<size_t>(g_watched_size));
  for (size_t p : {0u, 1u, 2u, 3u, 31u, 32u, 33u, 34u}) {
    EXPECT_NE(original, g_pass_contents[p]);
    if (p > 0) {
      EXPECT_NE(g_pass_contents[p - 1], g_pass_contents[p]);
    }
  }
}

TEST(EngineCancel, FlagSetBeforeTheRunLeavesTheFileWhole) {
  TempDir dir;
  const std::string path = dir.file("c.bin");
  const auto content = sample_content(200000);
  write_file(path, content);
  std::atomic<int32_t> flag{1};
  shred_job_ctx ctx{&flag, 3, 0, nullptr};
  EXPECT_EQ(-1, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_STREQ("Shredding operation cancelled by user", shred_last_error());
  EXPECT_EQ(content, read_file(path));
}

std::atomic<int32_t> g_late_flag{0};
void cancel_on_last_chunk(int32_t, int32_t percent, int64_t, int64_t) {
  if (percent >= 90) g_late_flag.store(1);
}

TEST(EngineCancel, RequestDuringTheLastChunkIsNotSeen) {
  TempDir dir;
  const std::string path = dir.file("late.bin");
  write_file(path, sample_content(100000));
  g_late_flag.store(0);
  shred_job_ctx ctx{&g_late_flag, 3, 0, cancel_on_last_chunk};
  EXPECT_EQ(0, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_EQ(1, g_late_flag.load());
  EXPECT_FALSE(test_util::fs::exists(path));
}

// ---- random passes generated ahead of the writes ----

std::atomic<int32_t> g_fill_cancel{0};
std::atomic<uint32_t> g_most_fillers{0};
std::atomic<int> g_fill_chunks{0};
void count_fillers(int32_t, int32_t, int64_t, int64_t) {
  uint32_t now = shred_test_fillers();
  uint32_t most = g_most_fillers.load();
  while (now > most && !g_most_fillers.compare_exchange_weak(most, now)) {
  }
  if (++g_fill_chunks == 3) g_fill_cancel.store(1);
}

TEST(EngineRandomAhead, CancelStopsTheFillerAndLeavesExactlyTheWrittenChunks) {
  if (on_windows()) GTEST_SKIP() << "Windows denies other openers while the engine writes";
  TempDir dir;
  const std::string path = dir.file("r.bin");
  const auto content = sample_content(16 * SHRED_BUFFER_SIZE);
  write_file(path, content);
  g_fill_cancel.store(0);
  g_fill_chunks.store(0);
  shred_job_ctx ctx{&g_fill_cancel, 1, 0, count_fillers};
  EXPECT_EQ(-1, shred_file_internal(path.c_str(), SHRED_METHOD_QUICK, 1, &ctx));
  EXPECT_STREQ("Shredding operation cancelled by user", shred_last_error());
  EXPECT_EQ(0u, shred_test_fillers()) << "the filler outlived its run";
  const auto after = read_file(path);
  ASSERT_EQ(content.size(), after.size());
  const size_t cut = 3 * SHRED_BUFFER_SIZE;
  // The chunk generated ahead of the cancel was never written.
  EXPECT_TRUE(std::equal(content.begin() + cut, content.end(), after.begin() + cut));
  size_t same = 0;
  for (size_t i = 0; i < cut; ++i) same += after[i] == content[i] ? 1 : 0;
  EXPECT_LT(same, cut / 16) << "the first three chunks were not overwritten";
}

// Many runs at once never have more fillers than processors; the rest fill inline.
TEST(EngineRandomAhead, FillersNeverOutnumberTheProcessors) {
  TempDir dir;
  constexpr int kRuns = 8;
  g_most_fillers.store(0);
  g_fill_chunks.store(-1000000);  // never reaches the cancel
  std::vector<std::thread> runs;
  std::atomic<int> failures{0};
  for (int i = 0; i < kRuns; ++i) {
    const std::string path = dir.file("f" + std::to_string(i));
    write_file(path, sample_content(16 * SHRED_BUFFER_SIZE, static_cast<uint32_t>(i)));
    runs.emplace_back([path, &failures] {
      shred_job_ctx ctx{nullptr, 1, 0, count_fillers};
      if (shred_file_internal(path.c_str(), SHRED_METHOD_DOD_7PASS, 7, &ctx) != 0) ++failures;
    });
  }
  for (std::thread& t : runs) t.join();
  EXPECT_EQ(0, failures.load()) << shred_last_error();
  EXPECT_GE(g_most_fillers.load(), 1u) << "no run generated ahead";
  EXPECT_LE(g_most_fillers.load(), os_processor_count());
  EXPECT_EQ(0u, shred_test_fillers());
  EXPECT_TRUE(test_util::entries(dir.path()).empty());
}

bool owner_can_write(const std::string& path) {
  const auto perms = test_util::fs::status(path).permissions();
  return (perms & test_util::fs::perms::owner_write) != test_util::fs::perms::none;
}

TEST(EngineOpen, ReadOnlyFilesAreShreddedAndGetTheirAttributeBackOnFailure) {
  TempDir dir;
  const std::string path = dir.file("ro.txt");
  write_file(path, sample_content(5000));
  test_util::fs::permissions(path, test_util::fs::perms::owner_read);
  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_FALSE(test_util::fs::exists(path));

  // Held by another opener: the open fails, contents and the read-only attribute stay.
  const auto content = sample_content(5000, 9);
  write_file(path, content);
  uint32_t error = 0;
  os_file holder(os_open_exclusive(path.c_str(), &error));
  ASSERT_TRUE(holder.valid()) << error;
  test_util::fs::permissions(path, test_util::fs::perms::owner_read);
  ASSERT_FALSE(owner_can_write(path));
  EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_QUICK));
  const std::string expected_prefix = "Failed to open file for writing: " + path + " (error ";
  EXPECT_EQ(expected_prefix, std::string(shred_last_error()).substr(0, expected_prefix.size()));
  // EWOULDBLOCK from flock on Linux, ERROR_SHARING_VIOLATION on Windows.
  EXPECT_TRUE(std::string(shred_last_error()).find(on_windows() ? "(error 32)" : "(error 11)") !=
              std::string::npos)
      << shred_last_error();
  EXPECT_FALSE(owner_can_write(path)) << "the attribute dropped for the open was not put back";
  holder.close();
  EXPECT_EQ(content, read_file(path));
}

std::string g_verify_path;
int32_t g_verify_during_run = -2;
void verify_while_held(int32_t, int32_t, int64_t, int64_t) {
  if (g_verify_during_run == -2) g_verify_during_run = shred_verify(g_verify_path.c_str());
}

TEST(EngineOpen, VerifyCannotOpenAFileTheEngineHolds) {
  TempDir dir;
  g_verify_path = dir.file("held.txt");
  write_file(g_verify_path, sample_content(3 * 65536));
  g_verify_during_run = -2;
  shred_job_ctx ctx{nullptr, 0, 0, verify_while_held};
  ASSERT_EQ(0, shred_file_internal(g_verify_path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_EQ(0, g_verify_during_run);
}

// 16 name bytes of one value give the name "__shred_" + 16 times that value's letter + ".tmp".
std::vector<uint8_t> name_bytes(std::initializer_list<uint8_t> letters) {
  std::vector<uint8_t> bytes;
  for (uint8_t letter : letters) bytes.insert(bytes.end(), 16, letter);
  return bytes;
}

TEST(EngineRename, TakenNameIsNeverReplacedAndAnotherIsDrawn) {
  TempDir dir;
  // The first name the engine draws is taken by another file; the second is free.
  test_util::ForcedNameBytes forced(name_bytes({0, 1}));
  const std::string decoy = dir.file("__shred_aaaaaaaaaaaaaaaa.tmp");
  const auto decoy_content = sample_content(300, 5);
  write_file(decoy, decoy_content);
  const std::string path = dir.file("target.txt");
  write_file(path, sample_content(300));

  EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_EQ(decoy_content, read_file(decoy));
  EXPECT_FALSE(test_util::fs::exists(path));
  EXPECT_GE(forced.used(), 32u) << "the engine did not try the taken name and then another";
  EXPECT_EQ(std::vector<std::string>{"__shred_aaaaaaaaaaaaaaaa.tmp"},
            test_util::entries(dir.path()));
}

TEST(EngineRename, FileKeepsItsNameEmptyWhenEveryNameDrawnIsTaken) {
  TempDir dir;
  // Every draw gives the one name that is taken.
  test_util::ForcedNameBytes forced(name_bytes({61}));
  const std::string decoy = dir.file("__shred_9999999999999999.tmp");
  const auto decoy_content = sample_content(300, 5);
  write_file(decoy, decoy_content);
  const std::string path = dir.file("target.txt");
  write_file(path, sample_content(300));

  // The contents are gone once the last pass is written; a name that cannot be changed does not
  // make the run fail, and the file is not deleted under the caller's name instead.
  EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_EQ(decoy_content, read_file(decoy));
  EXPECT_GE(forced.used(), 32u) << "the engine gave up after one taken name";
  ASSERT_TRUE(test_util::fs::exists(path));
  EXPECT_EQ(0u, test_util::fs::file_size(path));
  EXPECT_EQ(2u, test_util::entries(dir.path()).size());
}

TEST(EngineRename, PathWithoutSeparatorUsesTheWorkingDirectory) {
  TempDir dir;
  const auto saved = test_util::fs::current_path();
  test_util::fs::current_path(dir.path());
  write_file("plain.txt", sample_content(100));
  const int32_t rc = shred_file("plain.txt", SHRED_METHOD_QUICK);
  test_util::fs::current_path(saved);
  EXPECT_EQ(0, rc) << shred_last_error();
  EXPECT_TRUE(test_util::entries(dir.path()).empty());
}

TEST(EngineRename, LongDirectoryPartStillGetsTheRandomName) {
  if (on_windows()) GTEST_SKIP() << "Windows paths stop at 260 characters";
  TempDir dir;
  // The new name is formed inside the held directory, so however long the directory part, the
  // file is renamed there and nothing of that name appears in a parent.
  test_util::fs::path deep = dir.path();
  while (deep.string().size() < 1100) deep /= std::string(100, 'd');
  test_util::fs::create_directories(deep);
  const std::string path = (deep / "f.txt").string();
  write_file(path, sample_content(100));
  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_FALSE(test_util::fs::exists(path));
  for (auto p = deep; p != dir.path().parent_path(); p = p.parent_path()) {
    for (const auto& name : test_util::entries(p)) {
      EXPECT_EQ(std::string::npos, name.find("__shred_")) << p;
    }
  }
}

// ---- verification ----

int32_t verify_bytes(const TempDir& dir, const std::vector<uint8_t>& bytes) {
  const std::string path = dir.file("v.bin");
  write_file(path, bytes);
  return shred_verify(path.c_str());
}

// `size` bytes of which the first `printable` are printable and the rest control characters.
std::vector<uint8_t> printable_mix(size_t size, size_t printable) {
  std::vector<uint8_t> bytes(size, 0x01);
  for (size_t i = 0; i < printable; ++i) bytes[i] = 'x';
  return bytes;
}

TEST(Verify, PrintableShareThresholdAndSampleSize) {
  TempDir dir;
  EXPECT_EQ(0, verify_bytes(dir, printable_mix(20, 17)));  // exactly 0.85
  EXPECT_EQ(1, verify_bytes(dir, printable_mix(20, 16)));
  EXPECT_EQ(0, verify_bytes(dir, printable_mix(4096, 3482)));
  EXPECT_EQ(1, verify_bytes(dir, printable_mix(4096, 3481)));
  // Only the first 4096 bytes count.
  auto longer = printable_mix(10000, 3481);
  std::fill(longer.begin() + 4096, longer.end(), 'x');
  EXPECT_EQ(1, verify_bytes(dir, longer));
  longer = printable_mix(10000, 3482);
  EXPECT_EQ(0, verify_bytes(dir, longer));
}

TEST(Verify, WhatLooksOverwritten) {
  TempDir dir;
  EXPECT_EQ(0, verify_bytes(dir, {'A'}));
  EXPECT_EQ(1, verify_bytes(dir, {0x00}));
  EXPECT_EQ(1, verify_bytes(dir, {0x80}));
  EXPECT_EQ(1, verify_bytes(dir, {}));
  EXPECT_EQ(1, verify_bytes(dir, std::vector<uint8_t>(5000, 0xFF)));
  std::vector<uint8_t> mixed(64, 0x00);
  for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = 0xFF;
  EXPECT_EQ(1, verify_bytes(dir, mixed));
  // Text with tabs and line breaks over 15 percent of the sample looks overwritten.
  std::string text;
  while (text.size() < 4096) text += "a\tb\r\nc";
  const std::string path = dir.file("t.txt");
  write_file(path, text);
  EXPECT_EQ(1, shred_verify(path.c_str()));
  write_file(path, std::string(4096, 'q'));
  EXPECT_EQ(0, shred_verify(path.c_str()));
}

TEST(Verify, UncheckableAndInvalidPaths) {
  TempDir dir;
  shred_set_error("before");
  EXPECT_EQ(0, shred_verify(dir.file("missing").c_str()));
  EXPECT_EQ(0, shred_verify(dir.path().string().c_str()));
  EXPECT_STREQ("before", shred_last_error());
  EXPECT_EQ(0, shred_verify(nullptr));
  EXPECT_STREQ("Invalid path for verify", shred_last_error());
  shred_set_error("before");
  EXPECT_EQ(0, shred_verify(""));
  EXPECT_STREQ("Invalid path for verify", shred_last_error());
}

}  // namespace
