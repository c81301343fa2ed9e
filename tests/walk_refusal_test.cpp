// What a walk must refuse or stop at, on real mounts and with another party moving the tree: a
// directory that is itself a mount point (a tmpfs, a bind mount of another tree) is refused with
// nothing touched; a level moved out of the tree while the walk is inside it is not emptied at
// its new place and the walk fails; a walk rooted at a path that begins with two backslashes
// destroys no file, as the engine would refuse each of them. Tests that need root skip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "kelvarin_shred.h"
#include "platform/test_seams.h"
#include "posix_test_util.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using posix_test::Mount;
using posix_test::Names;
using posix_test::ReadFile;
using test_util::Call;
using test_util::CallName;
using test_util::Outcome;
using test_util::RunCall;
using test_util::TempDir;
using test_util::WriteHold;
using Clock = std::chrono::steady_clock;

const std::string kMountPoint = "Safety violation: refusing to shred a mount point: ";
const std::string kMoved = "Directory was moved during the walk and was not emptied: ";
const std::string kEngineSpecial =
    "Safety violation: refusing to shred root, working directory, or special path: ";

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Returns to the working directory of its construction, whatever the test did meanwhile.
class CwdGuard {
 public:
  CwdGuard() : fd_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~CwdGuard() {
    if (fd_ >= 0 && fchdir(fd_) != 0) std::perror("restoring the working directory");
    if (fd_ >= 0) close(fd_);
  }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  int fd_;
};

// ---- A mount point named as the directory ------------------------------------------------------

class WalkMountedRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(0, shred_init());
  }
  void TearDown() override { shred_cleanup(); }

  // Fills a tree with a file at the top and one below, and returns its listing with contents.
  static std::set<std::string> Plant(const std::string& root) {
    EXPECT_TRUE(WriteText(root + "/top.txt", "top of the mounted tree"));
    EXPECT_EQ(0, mkdir((root + "/sub").c_str(), 0755));
    EXPECT_TRUE(WriteText(root + "/sub/low.txt", "below in the mounted tree"));
    return Contents(root);
  }
  static std::set<std::string> Contents(const std::string& root) {
    std::set<std::string> out;
    for (const std::string name : {"/top.txt", "/sub/low.txt"}) {
      out.insert(name + "=" + (Exists(root + name) ? ReadFile(root + name) : "<gone>"));
    }
    return out;
  }

  // Every entry point and spelling of `root` is refused with the mount-point message, and what
  // `source` holds is untouched.
  static void ExpectRefused(const std::string& root, const std::string& source,
                            const std::set<std::string>& before) {
    for (Call call : {Call::kFlat, Call::kRecursive, Call::kJob}) {
      for (const std::string& path : {root, root + "/"}) {
        SCOPED_TRACE(std::string(CallName(call)) + " on " + path);
        const Outcome o = RunCall(call, path);
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(kMountPoint + path, o.message);
        EXPECT_EQ(before, Contents(source));
        EXPECT_TRUE(Exists(root)) << "the mount point itself must stay";
      }
    }
  }

  TempDir dir_;
};

TEST_F(WalkMountedRoot, TmpfsMountedOnTheDirectoryIsRefusedWithNothingTouched) {
  const std::string root = dir_ / "mounted";
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  Mount guard(root);
  if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  }
  guard.adopt();
  const std::set<std::string> before = Plant(root);
  ExpectRefused(root, root, before);
  EXPECT_TRUE(guard.unmount());
}

TEST_F(WalkMountedRoot, BindMountOfAnotherTreeIsRefusedAndItsSourceKeepsEverything) {
  const std::string source = dir_ / "source";
  const std::string root = dir_ / "bound";
  ASSERT_EQ(0, mkdir(source.c_str(), 0755));
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  const std::set<std::string> before = Plant(source);
  Mount guard(root);
  if (mount(source.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
  }
  guard.adopt();
  // Same file system, same device: only the mount itself tells it apart.
  ExpectRefused(root, source, before);
  EXPECT_TRUE(guard.unmount());
  EXPECT_EQ(before, Contents(source));
}

// ---- A level moved out of the tree during the walk ---------------------------------------------

// The regular file this process has open below `root` (the one the held write belongs to), or
// empty. The walk works on one file at a time, so there is at most one.
std::string OpenFileBelow(const std::string& root) {
  std::string found;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string path(target, static_cast<size_t>(n));
    struct stat st {};
    if (path.rfind(root + "/", 0) == 0 && stat(entry.path().c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      found = path;
    }
  }
  return found;
}

class WalkMovedLevel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    base_ = fs::canonical(dir_.path()).string();
    root_ = base_ + "/tree";
    away_ = base_ + "/away";
    ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
    ASSERT_EQ(0, shred_init());
  }
  void TearDown() override { shred_cleanup(); }

  void File(const std::string& below) { ASSERT_TRUE(WriteText(root_ + below, "data of " + below)); }
  void Dir(const std::string& below) { ASSERT_EQ(0, mkdir((root_ + below).c_str(), 0755)); }

  // Runs `call` on the tree with every write held, lets files go one at a time until the one
  // being written lies below `watch`, then renames `moved` to the directory `away_` and lets the
  // walk finish.
  Outcome RunMoving(Call call, const std::string& watch, const std::string& moved) {
    Outcome outcome{-3, ""};
    WriteHold hold;
    std::atomic<bool> done{false};
    std::thread walker([&] {
      outcome = RunCall(call, root_);
      done = true;
    });
    bool renamed = false;
    std::string permitted;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done && Clock::now() < deadline) {
      const std::string held = os_test_writes_waiting() == 1 ? OpenFileBelow(root_) : "";
      if (held.empty() || held == permitted || held.find("/__shred_") != std::string::npos) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      if (held.rfind(watch + "/", 0) == 0) {
        renamed = rename(moved.c_str(), away_.c_str()) == 0;
        break;
      }
      permitted = held;
      os_test_permit_writes(1);
    }
    hold.release();
    walker.join();
    EXPECT_TRUE(renamed) << "the walk never wrote a file below " << watch;
    return outcome;
  }

  TempDir dir_;
  std::string base_, root_, away_;
};

TEST_F(WalkMovedLevel, ADirectoryMovedOutIsNotEmptiedThereAndTheWalkFails) {
  for (Call call : {Call::kRecursive, Call::kJob}) {
    SCOPED_TRACE(CallName(call));
    fs::create_directories(root_);
    File("/r1");
    Dir("/d");
    File("/d/f1");
    File("/d/f2");
    File("/d/f3");
    Dir("/s");
    File("/s/s1");

    const Outcome o = RunMoving(call, root_ + "/d", root_ + "/d");
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(kMoved + root_ + "/d", o.message);
    // The file in hand when it moved is gone; the other two stay at the new place.
    EXPECT_EQ(2u, Names(away_).size()) << "the walk went on emptying the moved directory";
    // The rest of the tree went; the requested directory stays, since a level failed.
    EXPECT_EQ(std::set<std::string>{}, Names(root_));
    EXPECT_TRUE(Exists(root_));
    std::error_code ec;
    fs::remove_all(away_, ec);
  }
}

TEST_F(WalkMovedLevel, AMovedAncestorStopsTheLevelsBelowIt) {
  Dir("/a");
  Dir("/a/e");
  File("/a/e/e1");
  File("/a/e/e2");
  File("/a/e/e3");
  File("/r1");

  // The walk is in /a/e when /a goes; /a/e itself still stands in /a.
  const Outcome o = RunMoving(Call::kRecursive, root_ + "/a/e", root_ + "/a");
  EXPECT_EQ(-1, o.result);
  EXPECT_EQ(kMoved + root_ + "/a/e", o.message);
  EXPECT_EQ(std::set<std::string>{"e"}, Names(away_));
  EXPECT_EQ(2u, Names(away_ + "/e").size()) << "the walk went on emptying the moved directory";
  EXPECT_EQ(std::set<std::string>{}, Names(root_));
}

TEST_F(WalkMovedLevel, ADirectoryMovedAfterItsLastFileIsNotReportedRemoved) {
  Dir("/d");
  File("/d/only");

  const Outcome o = RunMoving(Call::kRecursive, root_ + "/d", root_ + "/d");
  EXPECT_EQ(-1, o.result);
  EXPECT_EQ(kMoved + root_ + "/d", o.message);
  EXPECT_TRUE(Exists(away_)) << "the moved directory is not removed";
  EXPECT_EQ(std::set<std::string>{}, Names(away_));
}

TEST_F(WalkMovedLevel, TheRequestedDirectoryMovedAwayIsNotEmptiedThere) {
  File("/f1");
  File("/f2");
  File("/f3");

  const Outcome o = RunMoving(Call::kFlat, root_, root_);
  EXPECT_EQ(-1, o.result);
  EXPECT_EQ(kMoved + root_, o.message);
  EXPECT_EQ(2u, Names(away_).size());
}

// ---- Paths that begin with two backslashes -----------------------------------------------------

// On POSIX a backslash is an ordinary character, so a directory named "\\srv" in the working
// directory gives a walk whose every child path has the shape of a share path. The engine refuses
// such a path; the walk must refuse it for each file too, and still remove empty directories.
TEST(WalkSpecialPaths, FilesBelowATwoBackslashRootAreRefusedAndEmptyDirectoriesGo) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(0, shred_init());
  const std::string root = "\\\\srv";
  for (Call call : {Call::kFlat, Call::kRecursive, Call::kJob}) {
    SCOPED_TRACE(CallName(call));
    const std::string full = dir / root;
    ASSERT_EQ(0, mkdir(full.c_str(), 0755));
    ASSERT_EQ(0, mkdir((full + "/empty").c_str(), 0755));
    ASSERT_EQ(0, mkdir((full + "/sub").c_str(), 0755));
    ASSERT_TRUE(WriteText(full + "/top.txt", "top secret"));
    ASSERT_TRUE(WriteText(full + "/sub/low.txt", "low secret"));

    Outcome o{};
    {
      CwdGuard cwd;
      ASSERT_EQ(0, chdir(dir.path().c_str()));
      o = RunCall(call, root);
    }
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(0u, o.message.rfind(kEngineSpecial + root + "/", 0)) << o.message;
    EXPECT_EQ("top secret", ReadFile(full + "/top.txt"));
    EXPECT_EQ("low secret", ReadFile(full + "/sub/low.txt"));
    const std::set<std::string> left = call == Call::kFlat
                                           ? std::set<std::string>{"empty", "sub", "top.txt"}
                                           : std::set<std::string>{"sub", "top.txt"};
    EXPECT_EQ(left, Names(full));
    fs::remove_all(full);
  }
  shred_cleanup();
}

}  // namespace
