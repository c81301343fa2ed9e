// Where a file's old contents hide from an overwrite that only follows what reads show: ranges
// zeroed with fallocate keep their blocks as unwritten extents, which read as zeros and which
// SEEK_DATA calls holes; and blocks that another process releases while the file is shredded
// (a truncation, a punched hole) leave the file with their contents in them. Real processes act
// on loop-mounted ext4 images (and tmpfs, which has no extent map), and the raw image is
// searched afterwards. The read-only attribute the engine drops to open a file must come back
// whenever the file stays. Tests that need root skip themselves with the reason.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "json_test_util.h"
#include "kelvarin_shred.h"
#include "loop_image_test.h"
#include "platform/test_seams.h"
#include "posix_test_util.h"
#include "test_util.h"

namespace {

using posix_test::Contains;
using posix_test::Mount;
using posix_test::Names;
using posix_test::Token;
using test_util::WriteHold;

constexpr off_t kKiB = 1024;
constexpr off_t kMiB = 1024 * kKiB;

const std::string kShrank = "File shrank while being shredded: ";

// Writes `size` bytes of `marker` lines at `offset` of an open file.
bool WriteMarkerAt(int fd, const std::string& marker, off_t offset, off_t size) {
  std::string bytes;
  while (static_cast<off_t>(bytes.size()) < size) bytes += marker + "\n";
  bytes.resize(static_cast<size_t>(size));
  return pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
}

// A file of `size` bytes of `marker` lines, forced to the device, with mode `mode`.
bool MakeMarkerFile(const std::string& path, const std::string& marker, off_t size,
                    mode_t mode = 0644) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = WriteMarkerAt(fd, marker, 0, size) && fsync(fd) == 0 && fchmod(fd, mode) == 0;
  return close(fd) == 0 && ok;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

off_t SizeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Runs `act` in a forked child, another process as far as the file system is concerned, and
// returns its exit code (-1 when it did not exit normally). The child makes raw system calls
// only: the parent has threads, one of them parked inside the library.
int InChild(const std::function<int()>& act) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(act());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Another process punches a hole of `length` bytes at `offset`; 0 when it could.
int PunchInChild(const std::string& path, off_t offset, off_t length) {
  return InChild([&] {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    return fd >= 0 && fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0
               ? 0
               : 1;
  });
}

struct Outcome {
  int32_t result = 0;
  std::string message;
};

// Runs shred_file on its own thread with every write held at its start; once the engine waits at
// a write past the first `permitted`, `meanwhile` acts, then the writes go on. False in
// *parked when the engine never got there.
Outcome ShredWhile(const std::string& path, shred_method method, uint32_t permitted,
                   const std::function<void()>& meanwhile, bool* parked) {
  Outcome out;
  WriteHold hold;
  os_test_permit_writes(permitted);
  std::thread shredder([&] {
    out.result = shred_file(path.c_str(), method);
    out.message = shred_last_error();
  });
  // A permitted write passes the gate in a moment; a write that found no permit left keeps
  // waiting, so only a wait seen several times running counts.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int seen = 0;
  while (seen < 3 && std::chrono::steady_clock::now() < deadline) {
    seen = os_test_writes_waiting() > 0 ? seen + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *parked = seen >= 3;
  if (*parked) meanwhile();
  hold.release();
  shredder.join();
  return out;
}

// The data ranges SEEK_DATA reports in [from, to): what the engine used to overwrite.
off_t SeekDataBytes(const std::string& path, off_t from, off_t to) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  off_t total = 0;
  for (off_t at = from; at < to;) {
    const off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0 || data >= to) break;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole > to) hole = to;
    total += hole - data;
    at = hole;
  }
  close(fd);
  return total;
}

class ShrinkExtents : public LoopImageTest {
 protected:
  void SetUp() override {
    LoopImageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    guard_ = std::make_unique<Mount>(mnt_);
    const std::string why_not = posix_test::MountExt4Image(image_, 48, mnt_, guard_.get());
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    // Deleted with a plain unlink at the end: a search that finds it can see deleted data.
    control_ = Token();
    ASSERT_TRUE(MakeMarkerFile(mnt_ + "/control", "control " + control_, 64 * kKiB));
  }

  // Unmounts the image, after removing the control file. False when it stays mounted.
  bool Unmount() {
    unlink((mnt_ + "/control").c_str());
    return guard_->unmount();
  }

  std::unique_ptr<Mount> guard_;  // undone before the base removes the directory
  std::string control_;
};

TEST_F(ShrinkExtents, ZeroedRangesAreOverwrittenOnlyHolesAreSkippedAndTheAssessmentHolds) {
  // 1 MiB: 256 KiB written, 256 KiB written and then zeroed with FALLOC_FL_ZERO_RANGE (unwritten
  // extents over the old blocks), 256 KiB never written (a hole), 256 KiB written.
  const std::string path = mnt_ + "/zeroed.bin";
  const std::string head = Token(), zeroed = Token(), tail = Token();
  const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteMarkerAt(fd, "head " + head, 0, 256 * kKiB));
  ASSERT_TRUE(WriteMarkerAt(fd, "zeroed " + zeroed, 256 * kKiB, 256 * kKiB));
  ASSERT_TRUE(WriteMarkerAt(fd, "tail " + tail, 768 * kKiB, 256 * kKiB));
  ASSERT_EQ(0, fsync(fd));
  if (fallocate(fd, FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, 256 * kKiB, 256 * kKiB) != 0) {
    close(fd);
    GTEST_SKIP() << "FALLOC_FL_ZERO_RANGE: " << std::strerror(errno);
  }
  ASSERT_EQ(0, fsync(fd));
  ASSERT_EQ(0, close(fd));
  ::sync();
  ASSERT_EQ(1 * kMiB, SizeOf(path));
  // What makes the case: reads give zeros and, once the zeros read are out of the page cache,
  // SEEK_DATA sees no data there.
  EXPECT_EQ(std::string(256 * kKiB, '\0'),
            posix_test::ReadFile(path).substr(256 * kKiB, 256 * kKiB));
  const int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(0, posix_fadvise(reader, 0, 0, POSIX_FADV_DONTNEED));
  close(reader);
  ASSERT_EQ(0, SeekDataBytes(path, 256 * kKiB, 768 * kKiB))
      << "this kernel reports the zeroed range as data: nothing to test";

  const int32_t length = shred_assess(path.c_str(), nullptr, 0);
  ASSERT_GT(length, 0) << shred_last_error();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  ASSERT_EQ(length, shred_assess(path.c_str(), &text[0], length + 1));
  text.resize(static_cast<size_t>(length));
  json_test::Json doc;
  ASSERT_TRUE(json_test::parse_object(text, &doc)) << text;

  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_EQ(std::set<std::string>({"control", "lost+found"}), Names(mnt_));
  // The statistics count what was written: the three extents with blocks, not the hole.
  const test_util::Stats stats = test_util::current_stats();
  EXPECT_EQ(768 * kKiB * 3, stats.bytes) << "not every range with blocks, or the hole written";
  EXPECT_EQ(3, stats.passes);
  ASSERT_TRUE(Unmount());

  EXPECT_TRUE(Contains(image_, "control " + control_)) << "the search cannot see deleted data";
  EXPECT_FALSE(Contains(image_, "head " + head)) << "written range on disk";
  EXPECT_FALSE(Contains(image_, "tail " + tail)) << "written range on disk";
  const bool zeroed_survived = Contains(image_, "zeroed " + zeroed);
  EXPECT_FALSE(zeroed_survived) << "the zeroed range's old blocks were skipped";
  // An assessment that says the overwrite reaches the blocks must be right about it.
  if (doc["medium"].text != "flash") {
    EXPECT_EQ("yes", doc["in_place"].text) << text;
    EXPECT_FALSE(doc["in_place"].text == "yes" && zeroed_survived) << text;
  }
}

TEST_F(ShrinkExtents, TruncationByAnotherProcessFailsTheRunKeepsTheFileAndTheWipeFinishesIt) {
  const std::string path = mnt_ + "/truncated.bin";
  const std::string marker = Token();
  ASSERT_TRUE(MakeMarkerFile(path, "truncated " + marker, 4 * kMiB, 0444));
  ::sync();

  bool parked = false;
  int child = -2;
  const auto truncate_it = [&] {
    child = InChild([&] { return truncate(path.c_str(), 1 * kMiB) == 0 ? 0 : 1; });
  };
  const Outcome out = ShredWhile(path, SHRED_METHOD_DOD_3PASS, 0, truncate_it, &parked);
  ASSERT_TRUE(parked) << "the shred never reached its first write";
  ASSERT_EQ(0, child) << "the child could not truncate the file";

  EXPECT_EQ(-1, out.result);
  EXPECT_EQ(0u, out.message.rfind(kShrank + path + " (size: 4194304 bytes when opened, ", 0))
      << out.message;
  EXPECT_NE(std::string::npos, out.message.find("may still hold its old data")) << out.message;
  EXPECT_NE(std::string::npos, out.message.find("shred_free_space")) << out.message;
  EXPECT_EQ(std::set<std::string>({"control", "lost+found", "truncated.bin"}), Names(mnt_))
      << "the file must keep its name";
  EXPECT_LE(SizeOf(path), 1 * kMiB) << "the pass wrote fresh blocks up to the old end";
  EXPECT_EQ(0444, ModeOf(path)) << "the read-only attribute was not put back";

  // What the message tells the caller to do: shred what is left, then wipe the free space.
  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  ASSERT_EQ(0, shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  ASSERT_TRUE(Unmount());
  EXPECT_FALSE(Contains(image_, "truncated " + marker)) << "released blocks kept the contents";
}

TEST_F(ShrinkExtents, HolePunchedAheadOfTheWritesFailsTheRun) {
  const std::string path = mnt_ + "/punched.bin";
  ASSERT_TRUE(MakeMarkerFile(path, "punched " + Token(), 4 * kMiB));
  ::sync();

  // The first pass has found one range of 4 MiB and waits at its first write; the hole is
  // punched in the middle of that range, where no chunk has been written yet.
  bool parked = false;
  int child = -2;
  const auto punch = [&] { child = PunchInChild(path, 2 * kMiB, 1 * kMiB); };
  const Outcome out = ShredWhile(path, SHRED_METHOD_DOD_3PASS, 0, punch, &parked);
  ASSERT_TRUE(parked) << "the shred never reached its first write";
  ASSERT_EQ(0, child) << "the child could not punch the hole";

  EXPECT_EQ(-1, out.result);
  const std::string expected =
      kShrank + path + " (data: 4194304 bytes when opened, 3145728 on pass 1)";
  EXPECT_EQ(0u, out.message.rfind(expected, 0)) << out.message;
  EXPECT_EQ(std::set<std::string>({"control", "lost+found", "punched.bin"}), Names(mnt_));
  EXPECT_EQ(4 * kMiB, SizeOf(path));
  EXPECT_EQ(1 * kMiB, 4 * kMiB - SeekDataBytes(path, 0, 4 * kMiB))
      << "the pass wrote into the punched hole";
}

TEST_F(ShrinkExtents, HolePunchedBehindTheWritesOfTheLastPassFailsTheRun) {
  const std::string path = mnt_ + "/behind.bin";
  ASSERT_TRUE(MakeMarkerFile(path, "behind " + Token(), 4 * kMiB));
  ::sync();

  // One pass; 40 of its 64 chunks are written when the first MiB, already written but not yet
  // flushed, is punched out. Nothing after that point writes there again.
  bool parked = false;
  int child = -2;
  const auto punch = [&] { child = PunchInChild(path, 0, 1 * kMiB); };
  const Outcome out = ShredWhile(path, SHRED_METHOD_QUICK, 40, punch, &parked);
  ASSERT_TRUE(parked) << "the shred never reached its 41st write";
  ASSERT_EQ(0, child) << "the child could not punch the hole";

  EXPECT_EQ(-1, out.result);
  const std::string expected =
      kShrank + path + " (data: 4194304 bytes when opened, 3145728 on pass 1)";
  EXPECT_EQ(0u, out.message.rfind(expected, 0)) << out.message;
  EXPECT_EQ(std::set<std::string>({"behind.bin", "control", "lost+found"}), Names(mnt_));
}

// tmpfs keeps no extent map: holes are found with SEEK_DATA, and one punched while the file is
// shredded must still stop the run.
TEST(ShrinkExtentsTmpfs, HolePunchedAheadOfTheWritesFailsTheRun) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting tmpfs needs root";
  test_util::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string mnt = dir / "mnt";
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  Mount guard(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  }
  guard.adopt();
  const std::string path = mnt + "/punched.bin";
  ASSERT_TRUE(MakeMarkerFile(path, "punched " + Token(), 4 * kMiB, 0444));

  bool parked = false;
  int child = -2;
  const auto punch = [&] { child = PunchInChild(path, 3 * kMiB, 512 * kKiB); };
  const Outcome out = ShredWhile(path, SHRED_METHOD_DOD_3PASS, 0, punch, &parked);
  ASSERT_TRUE(parked) << "the shred never reached its first write";
  ASSERT_EQ(0, child) << "the child could not punch the hole";
  EXPECT_EQ(-1, out.result);
  // Without a map the pages tmpfs gives the file are what shows the hole.
  const std::string expected =
      kShrank + path + " (allocated: 4194304 bytes when opened, 3670016 on pass 1)";
  EXPECT_EQ(0u, out.message.rfind(expected, 0)) << out.message;
  EXPECT_EQ(std::set<std::string>{"punched.bin"}, Names(mnt));
  EXPECT_EQ(0444, ModeOf(path)) << "the read-only attribute was not put back";
  EXPECT_TRUE(guard.unmount());
}

// Another process holds the file locked: the engine drops the read-only attribute to open it,
// the open fails, and the attribute must come back, from the engine and from a walk.
TEST(ShrinkExtentsReadOnly, FileThatCannotBeOpenedKeepsItsModeInTheEngineAndInAWalk) {
  test_util::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string tree = dir / "tree";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  const std::string locked = tree + "/locked.txt", free_file = tree + "/free.txt";
  ASSERT_TRUE(MakeMarkerFile(locked, "read-only and locked", 8 * kKiB, 0444));
  ASSERT_TRUE(MakeMarkerFile(free_file, "read-only and free", 8 * kKiB, 0444));
  const std::string before = posix_test::ReadFile(locked);

  // The holder locks the file, says so through a pipe and keeps the lock until its end.
  int ready[2], release[2];
  ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(release, O_CLOEXEC));
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    close(ready[0]);
    close(release[1]);
    const int fd = open(locked.c_str(), O_RDONLY | O_CLOEXEC);
    const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    char byte;
    while (read(release[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char ok = 'n';
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  close(ready[0]);

  const int32_t file_result = shred_file(locked.c_str(), SHRED_METHOD_QUICK);
  const std::string file_message = shred_last_error();
  const mode_t after_file = ModeOf(locked);
  const int32_t walk_result = shred_directory(tree.c_str(), SHRED_METHOD_QUICK);
  const std::string walk_message = shred_last_error();
  const mode_t after_walk = ModeOf(locked);
  close(release[1]);
  int status = 0;
  waitpid(holder, &status, 0);

  ASSERT_EQ('y', ok) << "the holder could not lock the file";
  EXPECT_EQ(-1, file_result);
  EXPECT_EQ(0u, file_message.rfind("Failed to open file for writing: " + locked + " (error ", 0))
      << file_message;
  EXPECT_EQ(0444, after_file) << "the engine left the owner-write bit it added";
  EXPECT_EQ(-1, walk_result);
  EXPECT_EQ(0u, walk_message.rfind("Failed to open file for writing: " + locked + " (error ", 0))
      << walk_message;
  EXPECT_EQ(0444, after_walk) << "the walk left the owner-write bit the engine added";
  EXPECT_EQ(before, posix_test::ReadFile(locked));
  EXPECT_EQ(std::set<std::string>{"locked.txt"}, Names(tree)) << "the free file must be gone";
}

}  // namespace
