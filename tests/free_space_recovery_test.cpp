// What a free-space wipe leaves when it does not end the way it planned, on loop-mounted ext4
// images with real processes: a wipe killed outright (SIGKILL) is finished by the next one, which
// puts back the reserve ext4 keeps from data writes and removes the old fill; a fill file that
// another process holds open and locked is removed all the same, and its space comes back; and
// the command, sent any signal that would end it, cancels its wipe and cleans up first. Mounting
// needs root; the tests skip themselves otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "kelvarin_shred.h"
#include "loop_image_test.h"
#include "posix_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using loop_image::FreeBytes;
using loop_image::ReserveControl;
using posix_test::Mount;
using posix_test::MountImage;
using posix_test::Names;
using posix_test::ReadFile;

constexpr int64_t kMiB = int64_t{1} << 20;

// The names in `dir` that begin like a wipe's fill directory.
std::set<std::string> FillNames(const std::string& dir) {
  std::set<std::string> fills;
  for (const std::string& name : Names(dir)) {
    if (name.rfind("__shred_fill_", 0) == 0) fills.insert(name);
  }
  return fills;
}

// Waits up to `limit` for `done`, polling.
template <typename Done>
bool WaitFor(Done done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Reaps `pid`, killing it first if it has not ended within `limit`. Its wait status.
int Reap(pid_t pid, std::chrono::seconds limit) {
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return status;
}

class FreeSpaceRecovery : public LoopImageTest {
 protected:
  // Mounts a fresh ext4 image of `mib` MiB whose reserve is not zero. Empty, or why not.
  std::string MountExt4(int mib) {
    guard_ = std::make_unique<Mount>(mnt_);
    const std::string why_not = MountImage(image_, mib, "mkfs.ext4 -q -F", "", mnt_, guard_.get());
    if (!why_not.empty()) return why_not;
    control_ = ReserveControl(mnt_);
    if (control_.empty()) return "no reserved_clusters control for the loop device";
    original_ = ReadFile(control_);
    if (original_.empty() || original_ == "0\n") return "the image has no reserve to lower";
    return "";
  }
  std::string Reserve() const { return ReadFile(control_); }

  std::unique_ptr<Mount> guard_;  // unmounts before the fixture's directory goes
  std::string control_, original_;
};

// The fill of a wipe killed mid-way fills the disk and its reserve stays at zero; the next wipe in
// that directory finds the fill by its name and its record, removes it and puts the reserve back.
// Meanwhile a wipe that starts while the killed one still runs leaves the running one's fill
// alone, and nothing of the caller's that only looks like a fill is ever touched.
TEST_F(FreeSpaceRecovery, AWipeKilledOutrightIsFinishedByTheNextWipe) {
  const std::string why_not = MountExt4(160);
  if (!why_not.empty()) GTEST_SKIP() << why_not;

  // Look-alikes: the right name without a record, a record in a directory of another user, and
  // a record under a name that is not the wipe's pattern.
  const std::string plain = "__shred_fill_ABCDEFGHIJKL", foreign = "__shred_fill_MNOPQRSTUVWX",
                    misnamed = "__shred_fill_short";
  for (const std::string& name : {plain, foreign, misnamed}) {
    ASSERT_EQ(0, mkdir((mnt_ + "/" + name).c_str(), 0700));
    test_util::write_file(mnt_ + "/" + name + "/00000000", "the caller's own " + name);
    if (name != plain) {
      test_util::write_file(mnt_ + "/" + name + "/__shred_record_ext4_reserve_1", "");
    }
  }
  ASSERT_EQ(0, chown((mnt_ + "/" + foreign).c_str(), 65534, 65534));
  ASSERT_EQ(0, chown((mnt_ + "/" + foreign + "/00000000").c_str(), 65534, 65534));
  const std::set<std::string> lookalikes = {plain, foreign, misnamed};
  const int64_t free_before = FreeBytes(mnt_);

  const pid_t wipe = fork();
  ASSERT_GE(wipe, 0);
  if (wipe == 0) _exit(shred_free_space(mnt_.c_str(), SHRED_METHOD_GUTMANN) == 0 ? 0 : 1);
  // Killed once the disk is full and the reserve is down: the worst moment to die.
  const bool full = WaitFor([&] { return Reserve() == "0\n" && FreeBytes(mnt_) < 4 * kMiB; },
                            std::chrono::seconds(60));
  EXPECT_TRUE(full) << "the wipe never filled the disk; reserve " << Reserve();
  ASSERT_EQ(0, waitpid(wipe, nullptr, WNOHANG)) << "the wipe ended before it could be killed";
  const std::set<std::string> running = FillNames(mnt_);
  ASSERT_EQ(lookalikes.size() + 1, running.size());

  // A second wipe now must not take the running wipe's fill for a killed one.
  shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK);
  EXPECT_EQ(0, waitpid(wipe, nullptr, WNOHANG)) << "the running wipe failed beside the second";
  EXPECT_EQ(running, FillNames(mnt_)) << "the running wipe's fill was touched";

  ASSERT_EQ(0, kill(wipe, SIGKILL));
  const int status = Reap(wipe, std::chrono::seconds(30));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ("0\n", Reserve()) << "a killed wipe cannot put back the reserve itself";
  EXPECT_LT(FreeBytes(mnt_), 8 * kMiB);

  ASSERT_EQ(0, shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_EQ(original_, Reserve()) << "the killed wipe's reserve was not put back";
  EXPECT_EQ(lookalikes, FillNames(mnt_)) << "the killed wipe's fill is still there";
  EXPECT_LE(free_before - FreeBytes(mnt_), kMiB) << "free space not given back";
  for (const std::string& name : lookalikes) {
    EXPECT_EQ("the caller's own " + name, ReadFile(mnt_ + "/" + name + "/00000000")) << name;
  }
}

// Another process opens a fill file and waits for its lock; it holds both while the wipe removes
// its fill. Locks are no obstacle to the removal, and the space comes back while that process
// still keeps the file open.
TEST_F(FreeSpaceRecovery, AFillFileHeldAndLockedByAnotherProcessIsRemovedAndItsSpaceFreed) {
  const std::string why_not = MountExt4(160);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const int64_t free_before = FreeBytes(mnt_);
  int report[2];
  ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    close(report[0]);
    int fd = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (fd < 0 && Clock::now() < deadline) {
      for (const std::string& name : FillNames(mnt_)) {
        fd = open((mnt_ + "/" + name + "/00000000").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
      }
    }
    if (fd < 0) _exit(1);
    // Once data is in it the wipe holds its own lock (a lock taken before would make the wipe
    // refuse the file it just created). Granted once the wipe has closed the file.
    struct stat st {};
    while (fstat(fd, &st) == 0 && st.st_size == 0 && Clock::now() < deadline) {
    }
    if (flock(fd, LOCK_EX) != 0 || write(report[1], "L", 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  close(report[1]);

  EXPECT_EQ(0, shred_free_space(mnt_.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  pollfd locked = {report[0], POLLIN, 0};
  char byte = 0;
  EXPECT_TRUE(poll(&locked, 1, 10000) == 1 && read(report[0], &byte, 1) == 1 && byte == 'L')
      << "the other process never held the fill file locked";
  EXPECT_EQ(0, waitpid(holder, nullptr, WNOHANG)) << "the holder is gone";
  EXPECT_TRUE(FillNames(mnt_).empty()) << "a locked fill file kept the fill";
  EXPECT_LE(free_before - FreeBytes(mnt_), kMiB) << "the held fill file's space did not come back";
  kill(holder, SIGKILL);
  Reap(holder, std::chrono::seconds(10));
  close(report[0]);
}

// The command, sent a signal whose default action would end it, in the middle of a wipe: it
// cancels the wipe, which removes its fill and puts the reserve back, and exits as interrupted.
TEST_F(FreeSpaceRecovery, TheCommandCleansUpOnEverySignalThatWouldEndIt) {
  const std::string why_not = MountExt4(64);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const int64_t free_before = FreeBytes(mnt_);
  const std::string err = dir_ / "stderr";
  for (const int signal_number : {SIGHUP, SIGQUIT, SIGPIPE, SIGTERM, SIGUSR1, SIGALRM, SIGXCPU}) {
    SCOPED_TRACE(strsignal(signal_number));
    char command[] = KELVARIN_SHRED_CLI;
    char free_space[] = "--free-space";
    char method[] = "-m";
    char gutmann[] = "gutmann";
    char* argv[] = {command, free_space, mnt_.data(), method, gutmann, nullptr};
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // As a fresh login shell would start it, whatever this test process inherited.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(signal_number, SIG_DFL);
      const int out = open("/dev/null", O_WRONLY);
      const int errors = open(err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
      if (out < 0 || errors < 0) _exit(126);
      dup2(out, STDOUT_FILENO);
      dup2(errors, STDERR_FILENO);
      execv(argv[0], argv);
      _exit(127);
    }
    const bool lowered = WaitFor([&] { return Reserve() == "0\n" && !FillNames(mnt_).empty(); },
                                 std::chrono::seconds(30));
    EXPECT_TRUE(lowered) << "the wipe never started";
    kill(pid, signal_number);
    const int status = Reap(pid, std::chrono::seconds(60));
    ASSERT_TRUE(WIFEXITED(status))
        << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(130, WEXITSTATUS(status)) << ReadFile(err);
    EXPECT_EQ("kelvarin-shred: " + mnt_ + ": cancelled; the fill was removed\n", ReadFile(err));
    EXPECT_TRUE(FillNames(mnt_).empty()) << "the fill was left behind";
    EXPECT_EQ(original_, Reserve()) << "the reserve was left lowered";
    EXPECT_LE(free_before - FreeBytes(mnt_), kMiB) << "free space not given back";
  }
}

}  // namespace
