// The free-space wipe on real file systems: loop-mounted ext4, ext4 data=journal and btrfs images
// whose raw bytes are searched afterwards. Each case writes two markers, removes one plainly and
// shreds the other; a control image without the wipe shows which markers the scan finds, so that
// their absence after a wipe means something. Also the refusals, each of which must create
// nothing. Mounting needs root; those tests skip themselves otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "kelvarin_shred.h"
#include "loop_image_test.h"
#include "posix_test_util.h"
#include "test_util.h"

namespace {

using loop_image::FreeBytes;
using loop_image::ReserveControl;
using posix_test::Contains;
using posix_test::Mount;
using posix_test::MountImage;
using posix_test::Names;
using posix_test::ReadFile;
using posix_test::Token;
using posix_test::WriteMarker;

struct Found {
  bool removed = false, shredded = false;
};

// Whether anything of a wipe's fill is still in `dir`.
bool FillLeft(const std::string& dir) {
  for (const std::string& name : Names(dir)) {
    if (name.rfind("__shred_fill_", 0) == 0) return true;
  }
  return false;
}

class FreeSpaceOnDisk : public LoopImageTest {
 protected:
  // Makes a fresh image, writes the two markers, removes one with a plain unlink and shreds the
  // other, wipes the free space when asked, unmounts and searches the raw image for each.
  // Returns an empty string, or why the case cannot run here.
  std::string Run(const std::string& mkfs, const std::string& options, int32_t wipe_method,
                  bool wipe, Found* found) {
    unlink(image_.c_str());
    Mount guard(mnt_);
    const std::string why_not = MountImage(image_, 160, mkfs, options, mnt_, &guard);
    if (!why_not.empty()) return why_not;
    const std::string removed = Token(), shredded = Token();
    EXPECT_TRUE(WriteMarker(mnt_ + "/removed.txt", removed));
    EXPECT_TRUE(WriteMarker(mnt_ + "/shredded.txt", shredded));
    ::sync();
    EXPECT_EQ(0, unlink((mnt_ + "/removed.txt").c_str()));
    EXPECT_EQ(0, shred_file((mnt_ + "/shredded.txt").c_str(), SHRED_METHOD_QUICK))
        << shred_last_error();
    ::sync();
    if (wipe) {
      const std::string control = ReserveControl(mnt_);
      const std::string reserve = control.empty() ? "" : ReadFile(control);
      const int64_t before = FreeBytes(mnt_);
      EXPECT_EQ(0, shred_free_space(mnt_.c_str(), wipe_method)) << shred_last_error();
      const int64_t after = FreeBytes(mnt_);
      std::cout << "[ wipe ] " << mkfs << (options.empty() ? "" : " -o " + options)
                << ": free before " << before << ", after " << after << ", stats "
                << shred_stats_json() << "\n";
      EXPECT_FALSE(FillLeft(mnt_)) << "the fill was left behind";
      // The fill's blocks are all given back (btrfs keeps a little more metadata for a while).
      EXPECT_LE(before - after, int64_t{1} << 20) << "free space not given back";
      if (!control.empty()) {
        EXPECT_EQ(reserve, ReadFile(control)) << "the reserve changed";
      }
    }
    EXPECT_TRUE(guard.unmount()) << "still mounted";
    found->removed = Contains(image_, removed + "\n" + removed);
    found->shredded = Contains(image_, shredded + "\n" + shredded);
    return "";
  }

  // The control proves the scan finds what the wipe must destroy; the wipe must leave neither.
  void ExpectWipeDestroysBoth(const std::string& mkfs, const std::string& options, int32_t method,
                              bool shred_leaves_copies) {
    Found control;
    const std::string why_not = Run(mkfs, options, method, false, &control);
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    EXPECT_TRUE(control.removed) << "the scan did not find a plainly removed file's data";
    EXPECT_EQ(shred_leaves_copies, control.shredded) << "the control's shredded marker";
    Found wiped;
    ASSERT_EQ("", Run(mkfs, options, method, true, &wiped));
    EXPECT_FALSE(wiped.removed) << "a plainly removed file's data survived the wipe";
    EXPECT_FALSE(wiped.shredded) << "a shredded file's copies survived the wipe";
  }
};

TEST_F(FreeSpaceOnDisk, Ext4) {
  ExpectWipeDestroysBoth("mkfs.ext4 -q -F", "", SHRED_METHOD_QUICK, false);
}

TEST_F(FreeSpaceOnDisk, Ext4DataJournalWithTheReserveLowered) {
  ExpectWipeDestroysBoth("mkfs.ext4 -q -F", "data=journal", SHRED_METHOD_QUICK, true);
}

// Three passes: on a full copy-on-write file system every rewrite needs blocks of its own.
TEST_F(FreeSpaceOnDisk, BtrfsWithThreePasses) {
  ExpectWipeDestroysBoth("mkfs.btrfs -q -f", "", SHRED_METHOD_DOD_3PASS, true);
}

TEST_F(FreeSpaceOnDisk, ACancelledJobLeavesNoFillAndTheReserveAsItWas) {
  Mount guard(mnt_);
  const std::string why_not = MountImage(image_, 160, "mkfs.ext4 -q -F", "", mnt_, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const std::string control = ReserveControl(mnt_);
  ASSERT_FALSE(control.empty());
  const std::string reserve = ReadFile(control);
  const int64_t before = FreeBytes(mnt_);
  ASSERT_EQ(0, shred_init());
  const int32_t id = shred_free_space_async(mnt_.c_str(), SHRED_METHOD_DOD_7PASS);
  ASSERT_GT(id, 0) << shred_last_error();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (shred_progress(id) < 10 && shred_is_complete(id) == SHRED_JOB_RUNNING &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const int32_t reached = shred_progress(id);
  EXPECT_GE(reached, 10);
  EXPECT_LT(reached, 100);
  // Half way through the fill the file system is full, and the reserve is down.
  EXPECT_EQ(0, shred_cancel(id));
  EXPECT_EQ(SHRED_JOB_FAILED, test_util::wait_for_job(id, std::chrono::seconds(120)));
  EXPECT_FALSE(FillLeft(mnt_)) << "the fill was left behind";
  EXPECT_LE(before - FreeBytes(mnt_), int64_t{1} << 20) << "free space not given back";
  EXPECT_EQ(reserve, ReadFile(control));
  shred_cleanup();
}

// Runs `body` in a child as the unprivileged user 65534 and returns its exit status.
template <typename Body>
int AsNobody(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST_F(FreeSpaceOnDisk, RefusalsCreateNothing) {
  // A read-only mount of a file system that could otherwise be filled.
  {
    Mount guard(mnt_);
    const std::string why_not = MountImage(image_, 32, "mkfs.ext4 -q -F", "ro", mnt_, &guard);
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    EXPECT_EQ(-1, shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK));
    EXPECT_EQ("Refusing to fill a read-only file system: " + mnt_, shred_last_error());
  }
  // A kernel pseudo file system, and one in memory.
  EXPECT_EQ(-1, shred_free_space("/proc", SHRED_METHOD_QUICK));
  EXPECT_STREQ("Refusing to fill a kernel pseudo file system: /proc", shred_last_error());
  {
    Mount guard(mnt_);
    ASSERT_EQ(0, mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=4m"));
    guard.adopt();
    EXPECT_EQ(-1, shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK));
    EXPECT_EQ("Refusing to fill a file system kept in memory (tmpfs): " + mnt_, shred_last_error());
    EXPECT_TRUE(Names(mnt_).empty());
  }
  // A link to a directory is not followed, even to a directory that could be filled.
  const std::string link = dir_ / "link";
  ASSERT_EQ(0, symlink(mnt_.c_str(), link.c_str()));
  EXPECT_EQ(-1, shred_free_space(link.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Safety violation: refusing to follow a link for a free space wipe: " + link,
            shred_last_error());
  // A directory the caller cannot write.
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  ASSERT_EQ(0, chmod(mnt_.c_str(), 0755));
  const std::string locked = mnt_;
  EXPECT_EQ(0, AsNobody([&locked] {
              if (shred_free_space(locked.c_str(), SHRED_METHOD_QUICK) != -1) return 1;
              const std::string message = shred_last_error();
              return message.rfind("Cannot create the fill directory in " + locked, 0) == 0 ? 0 : 2;
            }));
  EXPECT_FALSE(FillLeft(mnt_));
}

}  // namespace
