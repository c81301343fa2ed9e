// What neither another process nor an unusual spelling of a path may make the library do:
// destroy anything outside the target it was given. Another process swaps a directory or a file
// of the tree for a link to the outside while the library works in it; the root and the working
// directory are named in every spelling (the root ones only inside a chrooted child); mount
// points, kernel files and files with other names stand in a walk's way; a file grows during its
// passes, a sparse file is larger than its file system, the device fails its flushes; a job
// outlives a change of working directory; and readers race the writers of the texts. Tests that
// need root skip themselves with the reason; every mount, helper process and working directory
// is restored by RAII even when an assertion fails.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/test_seams.h"
#include "posix_test_util.h"
#include "test_util.h"

namespace {

using posix_test::Mount;
using posix_test::Names;
using posix_test::ReadFile;
using posix_test::Token;
using test_util::WriteHold;

namespace fs = std::filesystem;
using test_util::Call;
using test_util::CallName;
using test_util::Outcome;
using test_util::RunCall;
using test_util::TempDir;
using Clock = std::chrono::steady_clock;

// ---- Messages ----------------------------------------------------------------------------------

const std::string kWalkRoot = "Safety violation: refusing to shred root or working directory: ";
const std::string kEngineSpecial =
    "Safety violation: refusing to shred root, working directory, or special path: ";
const std::string kRootDirectory = "Safety violation: refusing to shred the root directory: ";
const std::string kWorkingDirectory = "Safety violation: refusing to shred the working directory: ";
const std::string kDotEnding =
    "Safety violation: refusing to shred a path that ends in \".\" or \"..\": ";
const std::string kMountPoint = "Safety violation: refusing to shred a mount point: ";
const std::string kPseudo =
    "Safety violation: refusing to shred a file of a kernel pseudo file system: ";
const std::string kHardLinks =
    "Safety violation: refusing to shred a file that has other names (hard links): ";
const std::string kGrew = "File grew while being shredded: ";

// True when `message` is one of the refusals of a root or working-directory spelling for `path`.
// The file engine may instead say that the path is a directory, which touches nothing either.
bool IsRootOrCwdRefusal(const std::string& message, const std::string& path,
                        bool directory_message_allowed) {
  for (const std::string* prefix :
       {&kWalkRoot, &kEngineSpecial, &kRootDirectory, &kWorkingDirectory, &kDotEnding}) {
    if (message == *prefix + path) return true;
  }
  return directory_message_allowed &&
         message == "Path is a directory, not a file: " + path + " (use shred_directory instead)";
}

// ---- Files and trees ---------------------------------------------------------------------------

bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() && fchmod(fd, mode) == 0;
  return close(fd) == 0 && ok;
}

// Recognisable text: `label` repeated up to `size` bytes.
std::string Labelled(const std::string& label, size_t size) {
  std::string out;
  while (out.size() < size) out += label + " ";
  out.resize(size);
  return out;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Every object under a directory, links never followed, keyed by its path below the directory
// ("/sub/file"): type, mode, and for a file its size and a hash of its contents, for a link its
// target. Two equal snapshots mean nothing was written, chmodded, renamed, added or removed.
using Tree = std::map<std::string, std::string>;

void SnapshotInto(const std::string& root, const std::string& below, Tree* tree) {
  DIR* d = opendir((root + below).c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  closedir(d);
  for (const std::string& name : names) {
    const std::string key = below + "/" + name;
    const std::string full = root + key;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) continue;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX] = {};
      const ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
      (*tree)[key] = "link -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      (*tree)[key] = std::string("dir ") + mode;
      SnapshotInto(root, key, tree);
    } else if (S_ISREG(st.st_mode)) {
      const std::string contents = ReadFile(full);
      uint64_t hash = 1469598103934665603ull;  // FNV-1a
      for (unsigned char c : contents) hash = (hash ^ c) * 1099511628211ull;
      char text[96];
      std::snprintf(text, sizeof text, "file %s %lld bytes fnv %016llx", mode,
                    static_cast<long long>(st.st_size), static_cast<unsigned long long>(hash));
      (*tree)[key] = text;
    } else {
      (*tree)[key] = std::string("other ") + mode;
    }
  }
}

Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

// What changed from `before` to `now`, one clause per object; empty when nothing did.
std::string Diff(const Tree& before, const Tree& now) {
  std::string out;
  for (const auto& [key, was] : before) {
    const auto it = now.find(key);
    if (it == now.end()) {
      out += key + " is gone (was " + was + "); ";
    } else if (it->second != was) {
      out += key + " changed from " + was + " to " + it->second + "; ";
    }
  }
  for (const auto& [key, is] : now) {
    if (before.count(key) == 0) out += key + " appeared (" + is + "); ";
  }
  return out;
}

int CountLinks(const Tree& tree) {
  int links = 0;
  for (const auto& entry : tree) links += entry.second.rfind("link -> ", 0) == 0 ? 1 : 0;
  return links;
}

// ---- Guards ------------------------------------------------------------------------------------

// Returns to the working directory of its construction, whatever the test did meanwhile.
class CwdGuard {
 public:
  CwdGuard() : fd_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~CwdGuard() {
    if (fd_ < 0) return;
    if (fchdir(fd_) != 0) std::perror("restoring the working directory");
    close(fd_);
  }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

class FlushFailure {
 public:
  explicit FlushFailure(uint32_t error) { os_test_fail_flushes(error); }
  ~FlushFailure() { os_test_fail_flushes(0); }
  FlushFailure(const FlushFailure&) = delete;
  FlushFailure& operator=(const FlushFailure&) = delete;
};

// Waits for `condition` for at most `limit`; true when it came true.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// ---- Calls -------------------------------------------------------------------------------------

// Polls a job to its end; its final status, or SHRED_JOB_RUNNING when it did not end in time
// (it is then cancelled).
int32_t WaitForJob(int32_t id, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const int32_t status = test_util::wait_for_job(id, limit);
  if (status == SHRED_JOB_RUNNING) shred_cancel(id);
  return status;
}

// ---- Helper processes --------------------------------------------------------------------------

// Runs `body` in a forked child, which writes its findings to the descriptor it is given, and
// returns what it wrote. A child that has not finished within `limit` is killed, and so is one
// that outlives the test on any path; *status says how the child ended.
std::string RunChild(const std::function<void(int out)>& body, int* status,
                     std::chrono::seconds limit = std::chrono::seconds(25)) {
  *status = -1;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return "pipe failed";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return "fork failed";
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    int code = 0;
    try {
      body(pipe_fds[1]);
    } catch (...) {
      code = 2;  // nothing may unwind into the parent's copy of the test runner
    }
    close(pipe_fds[1]);
    _exit(code);
  }
  close(pipe_fds[1]);
  std::string out;
  const auto deadline = Clock::now() + limit;
  bool timed_out = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  if (timed_out) {
    kill(pid, SIGKILL);
    out += "\n(child killed after its time limit)";
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  *status = wstatus;
  return out;
}

void Emit(int out, const std::string& line) {
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(out, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// What the test and the swapping process share: one page mapped into both.
struct SwapControl {
  std::atomic<int> command;  // what the test wants: kIdle, kSwap or kQuit
  std::atomic<int> state;    // what the swapper last obeyed
  std::atomic<long> swaps;   // exchanges that went through
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "the page is shared between processes");
constexpr int kIdle = 0;
constexpr int kSwap = 1;
constexpr int kQuit = 2;

// Another process that exchanges two names in a directory with renameat2(RENAME_EXCHANGE): as
// fast as it can, or, when watches are given, once each time inotify reports an open or a read
// under one of them (so that the swap lands right after the library looked). It only swaps
// between Start() and Stop(), so that the test can build and check the tree undisturbed.
class Swapper {
 public:
  Swapper(const std::string& dir, std::string first, std::string second,
          std::vector<std::string> watches = {})
      : first_(std::move(first)), second_(std::move(second)), watches_(std::move(watches)) {
    void* page = mmap(nullptr, sizeof(SwapControl), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return;
    control_ = new (page) SwapControl{};
    dir_fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) return;
    std::vector<const char*> watch_paths;
    for (const std::string& w : watches_) watch_paths.push_back(w.c_str());
    std::fflush(nullptr);  // or the child's copy of the buffered output could be printed twice
    pid_ = fork();
    if (pid_ == 0) {
      // Only system calls from here: the child of a threaded process must not take locks.
      Run(control_, dir_fd_, first_.c_str(), second_.c_str(), watch_paths.data(),
          watch_paths.size());
      _exit(0);
    }
  }
  ~Swapper() {
    if (pid_ > 0) {
      control_->command.store(kQuit);
      int status = 0;
      bool ended = false;
      for (int i = 0; i < 500 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    if (dir_fd_ >= 0) close(dir_fd_);
    if (control_ != nullptr) munmap(control_, sizeof(SwapControl));
  }
  Swapper(const Swapper&) = delete;
  Swapper& operator=(const Swapper&) = delete;

  bool ok() const { return pid_ > 0; }
  long swaps() const { return control_->swaps.load(); }

  // Returns once the swapper swaps (with its watches in place); false when it did not answer.
  bool Start() { return Tell(kSwap); }
  // Returns once no exchange is in flight any more.
  bool Stop() { return Tell(kIdle); }

 private:
  bool Tell(int command) {
    control_->command.store(command);
    return WaitUntil([&] { return control_->state.load() == command; },
                     std::chrono::milliseconds(5000));
  }

  static void Run(SwapControl* control, int dir_fd, const char* first, const char* second,
                  const char* const* watches, size_t watch_count) {
    int notify = -1;
    for (;;) {
      const int command = control->command.load();
      if (command == kQuit) break;
      if (command == kIdle) {
        if (notify >= 0) close(notify);
        notify = -1;
        control->state.store(kIdle);
        usleep(50);
        continue;
      }
      if (control->state.load() != kSwap) {
        if (watch_count > 0) {
          notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
          for (size_t i = 0; i < watch_count && notify >= 0; ++i) {
            inotify_add_watch(notify, watches[i], IN_OPEN | IN_ACCESS);
          }
        }
        control->state.store(kSwap);
      }
      if (notify >= 0) {
        pollfd p{notify, POLLIN, 0};
        if (poll(&p, 1, 1) <= 0) continue;
        alignas(inotify_event) char events[4096];
        while (read(notify, events, sizeof events) > 0) {
        }
      }
      if (renameat2(dir_fd, first, dir_fd, second, RENAME_EXCHANGE) == 0) {
        control->swaps.fetch_add(1);
      }
    }
    if (notify >= 0) close(notify);
  }

  std::string first_, second_;
  std::vector<std::string> watches_;
  SwapControl* control_ = nullptr;
  int dir_fd_ = -1;
  pid_t pid_ = -1;
};

// Read-only descriptors on every file of a tree, so that a file that disappeared can still be
// examined: was it emptied (overwritten and truncated) before its last name went?
class HeldFiles {
 public:
  HeldFiles(const std::string& root, const Tree& tree) {
    for (const auto& [key, description] : tree) {
      if (description.rfind("file ", 0) == 0) {
        fds_[key] = open((root + key).c_str(), O_RDONLY | O_CLOEXEC);
      }
    }
  }
  ~HeldFiles() {
    for (const auto& entry : fds_) {
      if (entry.second >= 0) close(entry.second);
    }
  }
  HeldFiles(const HeldFiles&) = delete;
  HeldFiles& operator=(const HeldFiles&) = delete;

  // The held file's size and number of names now; false when it was never held.
  bool Describe(const std::string& key, off_t* size, nlink_t* links) const {
    const auto it = fds_.find(key);
    struct stat st {};
    if (it == fds_.end() || it->second < 0 || fstat(it->second, &st) != 0) return false;
    *size = st.st_size;
    *links = st.st_nlink;
    return true;
  }

 private:
  std::map<std::string, int> fds_;
};

// ---- Races with another process ----------------------------------------------------------------

// Each round builds a tree T beside a victim tree outside it, lets the swapper exchange a name
// inside T with a link to the victims while the library works on T, and then checks that the
// victims and the link survived. The files inside T may go; nothing outside may change.
class PosixSafetyRace : public ::testing::Test {
 protected:
  enum class Layout {
    kDirectory,  // T/a a directory, T/l a link to the victim directory
    kFile        // T/f a file, T/m a link to the victim file
  };

  struct Totals {
    int rounds = 0;
    long swaps = 0;
    int faults = 0;
    int removed_through_link = 0;  // victims destroyed through a path that led through the link
    int links_renamed = 0;         // rounds that left the link under a temporary name
    int emptied_left = 0;          // rounds whose call succeeded yet left an emptied file in T
    int results_ok = 0;
    std::string first_fault;
    double seconds = 0;
  };

  static constexpr int kMaxRounds = 200;
  static constexpr std::chrono::milliseconds kBudget{2000};

  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(0, shred_init());
    base_ = dir_.path().string();
    victims_ = base_ + "/victims";
    tree_ = base_ + "/T";
  }
  void TearDown() override { shred_cleanup(); }

  // Fresh victims, and the tree built under a staging name and moved into place in one rename,
  // so that the swapper never sees it half-built.
  void BuildRound(Layout layout) {
    std::error_code ec;
    fs::remove_all(victims_, ec);
    fs::remove_all(tree_, ec);
    const std::string stage = base_ + "/stage";
    fs::remove_all(stage, ec);
    ASSERT_EQ(0, mkdir(victims_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(stage.c_str(), 0755));
    if (layout == Layout::kDirectory) {
      // The victims bear the names of the files in T/a, so a path through the link names them.
      ASSERT_EQ(0, mkdir((victims_ + "/sub").c_str(), 0755));
      for (const char* name : {"/f", "/g", "/sub/h"}) {
        ASSERT_TRUE(WriteFile(victims_ + name, Labelled(std::string("VICTIM") + name, 6000), 0444));
      }
      ASSERT_EQ(0, mkdir((stage + "/a").c_str(), 0755));
      ASSERT_EQ(0, mkdir((stage + "/a/sub").c_str(), 0755));
      for (const char* name : {"/a/f", "/a/g", "/a/sub/h"}) {
        ASSERT_TRUE(WriteFile(stage + name, Labelled(std::string("inside") + name, 3000), 0444));
      }
      ASSERT_EQ(0, symlink(victims_.c_str(), (stage + "/l").c_str()));
      link_target_ = victims_;
    } else {
      ASSERT_TRUE(WriteFile(victims_ + "/vf", Labelled("VICTIM/vf", 6000), 0444));
      ASSERT_TRUE(WriteFile(stage + "/f", Labelled("inside/f", 3000), 0444));
      ASSERT_TRUE(WriteFile(stage + "/z", Labelled("inside/z", 3000), 0444));
      link_target_ = victims_ + "/vf";
      ASSERT_EQ(0, symlink(link_target_.c_str(), (stage + "/m").c_str()));
    }
    ASSERT_EQ(0, rename(stage.c_str(), tree_.c_str()));
  }

  // Rounds of `call` on `target` until kMaxRounds or kBudget. With `through_link_allowed`, a
  // victim may be destroyed as a whole (overwritten, emptied and removed) because the caller's
  // own path led through the link when it was resolved; it may never be changed in any other way.
  Totals RunRounds(Layout layout, Call call, const std::string& target, bool timed,
                   bool through_link_allowed) {
    Totals totals;
    // Earlier jobs' workers are released first: the swapper is forked from this process, and a
    // copy of a worker that has ended but not yet been released would read as a leaked thread.
    shred_cleanup();
    EXPECT_EQ(0, shred_init());
    std::vector<std::string> watches;
    if (timed) watches.push_back(tree_);
    if (timed && layout == Layout::kDirectory) watches.push_back(tree_ + "/a");
    Swapper swapper(base_, layout == Layout::kDirectory ? "T/a" : "T/f",
                    layout == Layout::kDirectory ? "T/l" : "T/m", watches);
    EXPECT_TRUE(swapper.ok()) << "the swapping process did not start";
    if (!swapper.ok()) return totals;
    const auto start = Clock::now();
    while (totals.rounds < kMaxRounds && Clock::now() - start < kBudget) {
      BuildRound(layout);
      if (::testing::Test::HasFatalFailure()) break;
      const Tree before = Snapshot(victims_);
      std::string fault;
      {
        HeldFiles held(victims_, before);
        if (!swapper.Start()) {
          ADD_FAILURE() << "the swapper does not answer";
          break;
        }
        const Outcome outcome = RunCall(call, target);
        if (!swapper.Stop()) {
          ADD_FAILURE() << "the swapper does not stop";
          break;
        }
        if (outcome.result == 0 || outcome.result == -1) ++totals.results_ok;
        if (outcome.result == 0) {
          for (const auto& entry : Snapshot(tree_)) {
            if (entry.second.find(" 0 bytes ") != std::string::npos) {
              ++totals.emptied_left;
              break;
            }
          }
        }
        fault = CheckVictims(before, held, through_link_allowed, &totals.removed_through_link);
      }
      const Tree everything = Snapshot(base_);
      const int links = CountLinks(everything);
      if (links != 1) {
        fault += "links under the test directory: " + std::to_string(links) + " instead of 1";
        std::string left;
        for (const auto& entry : Snapshot(tree_))
          left += " " + entry.first + " (" + entry.second + ")";
        fault += "; T holds:" + left + "; ";
      } else {
        for (const auto& entry : everything) {
          if (entry.second.rfind("link -> ", 0) != 0) continue;
          if (entry.second != "link -> " + link_target_) {
            fault += "the link " + entry.first + " now reads " + entry.second + "; ";
          }
          if (entry.first.find("__shred_") != std::string::npos) ++totals.links_renamed;
        }
      }
      ++totals.rounds;
      if (!fault.empty()) {
        if (totals.faults == 0) {
          totals.first_fault = "round " + std::to_string(totals.rounds) + ": " + fault;
        }
        ++totals.faults;
      }
    }
    totals.swaps = swapper.swaps();
    totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::error_code ec;
    fs::remove_all(tree_, ec);
    return totals;
  }

  std::string CheckVictims(const Tree& before, const HeldFiles& held, bool through_link_allowed,
                           int* removed_through_link) {
    const Tree now = Snapshot(victims_);
    std::string fault;
    for (const auto& [key, was] : before) {
      const auto it = now.find(key);
      if (it != now.end() && it->second == was) continue;
      off_t size = 0;
      nlink_t links = 0;
      if (it == now.end() && held.Describe(key, &size, &links)) {
        if (through_link_allowed && size == 0 && links == 0) {
          ++*removed_through_link;
          continue;
        }
        fault += "victim " + key + " lost its name but is not destroyed (now " +
                 std::to_string(size) + " bytes, " + std::to_string(links) + " names); ";
        continue;
      }
      fault += "victim " + key + (it == now.end() ? " is gone" : " changed to " + it->second) +
               " (was " + was + "); ";
    }
    for (const auto& [key, is] : now) {
      if (before.count(key) == 0)
        fault += "new entry among the victims: " + key + " (" + is + "); ";
    }
    return fault;
  }

  void Report(const char* what, const Totals& t) {
    std::printf("[   race   ] %-56s %3d rounds %7ld swaps %5.2f s", what, t.rounds, t.swaps,
                t.seconds);
    if (t.removed_through_link > 0) {
      std::printf(", %d victims destroyed whole through the link", t.removed_through_link);
    }
    if (t.links_renamed > 0) std::printf(", link renamed in %d rounds", t.links_renamed);
    if (t.emptied_left > 0) {
      std::printf(", success left an emptied file in T in %d rounds", t.emptied_left);
    }
    std::printf("\n");
    RecordProperty(std::string(what) + " rounds", t.rounds);
    RecordProperty(std::string(what) + " swaps", static_cast<int>(t.swaps));
    EXPECT_GT(t.rounds, 0) << what;
    EXPECT_GT(t.swaps, 0) << what << ": the names were never exchanged, so nothing was tested";
    // A link caught by the rename goes back to its name: nothing but the file is ever renamed.
    EXPECT_EQ(0, t.links_renamed) << what;
    EXPECT_EQ(t.rounds, t.results_ok) << what << ": a call did not end in time";
    EXPECT_EQ(0, t.faults) << what << ": outside the tree changed in " << t.faults << " of "
                           << t.rounds << " rounds; first: " << t.first_fault;
  }

  TempDir dir_;
  std::string base_, victims_, tree_, link_target_;
};

TEST_F(PosixSafetyRace, DirectoryExchangedWithALinkToTheOutside) {
  const struct {
    const char* what;
    Call call;
    std::string target;
    bool through_link_allowed;
  } cases[] = {
      {"directory swap: shred_file(T/a/f)", Call::kFile, tree_ + "/a/f", true},
      {"directory swap: shred_directory_recursive(T)", Call::kRecursive, tree_, false},
      {"directory swap: shred_directory_async(T, recursive)", Call::kJob, tree_, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.what, RunRounds(Layout::kDirectory, c.call, c.target, false, c.through_link_allowed));
  }
}

TEST_F(PosixSafetyRace, FileExchangedWithALinkToTheOutside) {
  const struct {
    const char* what;
    Call call;
    std::string target;
  } cases[] = {
      {"file swap: shred_file(T/f)", Call::kFile, tree_ + "/f"},
      {"file swap: shred_directory_recursive(T)", Call::kRecursive, tree_},
      {"file swap: shred_directory(T)", Call::kFlat, tree_},
      {"file swap: shred_directory_async(T, recursive)", Call::kJob, tree_},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.what, RunRounds(Layout::kFile, c.call, c.target, false, false));
  }
}

// The swapper waits for the library to open or read something in the tree and swaps right then,
// between the look and the act that follows it.
TEST_F(PosixSafetyRace, ExchangeTimedByInotify) {
  const struct {
    const char* what;
    Layout layout;
    Call call;
    std::string target;
    bool through_link_allowed;
  } cases[] = {
      {"inotify directory swap: shred_file(T/a/f)", Layout::kDirectory, Call::kFile, tree_ + "/a/f",
       true},
      {"inotify directory swap: shred_directory_recursive(T)", Layout::kDirectory, Call::kRecursive,
       tree_, false},
      {"inotify directory swap: shred_directory_async(T)", Layout::kDirectory, Call::kJob, tree_,
       false},
      {"inotify file swap: shred_file(T/f)", Layout::kFile, Call::kFile, tree_ + "/f", false},
      {"inotify file swap: shred_directory_recursive(T)", Layout::kFile, Call::kRecursive, tree_,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Report(c.what, RunRounds(c.layout, c.call, c.target, true, c.through_link_allowed));
  }
}

// ---- Roots and the working directory -----------------------------------------------------------

// Canary files that a refused call must leave exactly as they are.
void PlantCanaries(const std::string& root) {
  ASSERT_EQ(0, mkdir((root + "/x").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/x/deep").c_str(), 0755));
  ASSERT_TRUE(WriteFile(root + "/canary", Labelled("root canary", 5000)));
  ASSERT_TRUE(WriteFile(root + "/read-only-canary", Labelled("read-only canary", 3000), 0444));
  ASSERT_TRUE(WriteFile(root + "/x/canary", Labelled("x canary", 4000)));
  ASSERT_TRUE(WriteFile(root + "/x/deep/canary", Labelled("deep canary", 7000)));
}

const Call kAllCalls[] = {Call::kRecursive, Call::kFlat, Call::kFile, Call::kJob};

// Every spelling of the root, in a child that has chroot()ed into a throw-away tree: whatever the
// library does there, it can reach nothing but that tree. The parent checks the tree afterwards.
TEST(PosixSafetyRoot, RootSpellingsAreRefusedInsideAChroot) {
  if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string root = dir.file("jail");
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  PlantCanaries(root);
  const Tree before = Snapshot(root);
  struct stat root_st {};
  ASSERT_EQ(0, stat(root.c_str(), &root_st));
  const std::vector<std::string> spellings = {"//",  "///",    "/.",      "/./", "/x/..",
                                              "/..", "/x/../", "/x/./..", "/"};

  int status = 0;
  const std::string report = RunChild(
      [&](int out) {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
          Emit(out, std::string("chroot failed: ") + std::strerror(errno));
          return;
        }
        // Nothing is called unless "/" is now the throw-away tree.
        struct stat st {};
        if (stat("/", &st) != 0 || st.st_ino != root_st.st_ino || st.st_dev != root_st.st_dev ||
            Snapshot("/") != before) {
          Emit(out, "not inside the throw-away tree");
          return;
        }
        shred_init();
        for (Call call : kAllCalls) {
          for (const std::string& spelling : spellings) {
            const Outcome o = RunCall(call, spelling);
            const std::string diff = Diff(before, Snapshot("/"));
            Emit(out, std::string(CallName(call)) + "\t" + spelling + "\t" +
                          std::to_string(o.result) + "\t" + diff + "\t" + o.message);
          }
        }
        shred_cleanup();
      },
      &status);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the chrooted child did not end normally (status " << status << "): " << report;

  size_t lines = 0;
  for (const std::string& line : Split(report, '\n')) {
    const std::vector<std::string> f = Split(line, '\t');
    ASSERT_EQ(5u, f.size()) << line;
    ++lines;
    SCOPED_TRACE(f[0] + "(\"" + f[1] + "\")");
    EXPECT_EQ("-1", f[2]);
    EXPECT_TRUE(IsRootOrCwdRefusal(f[4], f[1], f[0] == "shred_file")) << "message: " << f[4];
    EXPECT_EQ("", f[3]) << "the tree changed";
  }
  EXPECT_EQ(spellings.size() * 4, lines) << report;
  EXPECT_EQ("", Diff(before, Snapshot(root))) << "seen from outside the chroot";
}

TEST(PosixSafetyRoot, WorkingDirectorySpellingsAreRefused) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // The working directory sits two levels down, so that even ".." stays inside the test's tree.
  const std::string work = dir.file("work");
  const std::string cwd = work + "/cwd";
  CwdGuard restore;
  ASSERT_TRUE(restore.ok());
  const auto plant = [&] {
    std::error_code ec;
    fs::remove_all(work, ec);
    ASSERT_EQ(0, mkdir(work.c_str(), 0755));
    ASSERT_TRUE(WriteFile(work + "/sibling-canary", Labelled("sibling canary", 2000)));
    ASSERT_EQ(0, mkdir(cwd.c_str(), 0755));
    PlantCanaries(cwd);
    ASSERT_EQ(0, mkdir((cwd + "/sub").c_str(), 0755));
    ASSERT_TRUE(WriteFile(cwd + "/sub/canary", Labelled("sub canary", 3000)));
    ASSERT_EQ(0, chdir(cwd.c_str()));
  };
  plant();
  const Tree before = Snapshot(work);

  const std::vector<std::string> spellings = {".",       "./",     "./.",     ".//", "sub/..",
                                              "sub/../", "../cwd", "../cwd/", cwd,   cwd + "/"};
  ASSERT_EQ(0, shred_init());
  for (Call call : kAllCalls) {
    for (const std::string& spelling : spellings) {
      SCOPED_TRACE(std::string(CallName(call)) + "(\"" + spelling + "\")");
      const Outcome o = RunCall(call, spelling);
      EXPECT_EQ(-1, o.result);
      EXPECT_TRUE(IsRootOrCwdRefusal(o.message, spelling, call == Call::kFile))
          << "message: " << o.message;
      const std::string diff = Diff(before, Snapshot(work));
      EXPECT_EQ("", diff);
      if (!diff.empty()) plant();  // each spelling is judged on an intact tree
    }
  }
  shred_cleanup();
}

// "tree/link/." names the link's target through the link; as for rm, the trailing "." is refused.
TEST(PosixSafetyRoot, DotAfterALinkToTheOutsideIsRefused) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string outside = dir.file("outside");
  const std::string tree = dir.file("tree");
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  PlantCanaries(outside);
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  ASSERT_TRUE(WriteFile(tree + "/own", Labelled("own file", 1000)));
  ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/link").c_str()));
  const Tree before = Snapshot(dir.path().string());

  ASSERT_EQ(0, shred_init());
  for (const std::string& path : {tree + "/link/.", tree + "/link/./", tree + "/link/x/.."}) {
    for (Call call : {Call::kRecursive, Call::kFlat, Call::kJob}) {
      SCOPED_TRACE(std::string(CallName(call)) + "(\"" + path + "\")");
      const Outcome o = RunCall(call, path);
      EXPECT_EQ(-1, o.result);
      EXPECT_EQ(kDotEnding + path, o.message);
      EXPECT_EQ("", Diff(before, Snapshot(dir.path().string())));
    }
  }
  shred_cleanup();
}

// ---- Mount points, kernel files and other names ------------------------------------------------

class PosixSafetyMounts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(0, shred_init());
  }
  void TearDown() override { shred_cleanup(); }
  TempDir dir_;
};

TEST_F(PosixSafetyMounts, BindMountedDirectoryInsideATreeIsNotEntered) {
  const std::string source = dir_ / "source";
  ASSERT_EQ(0, mkdir(source.c_str(), 0755));
  PlantCanaries(source);
  const Tree source_before = Snapshot(source);
  const std::string tree = dir_ / "tree";

  for (Call call : {Call::kRecursive, Call::kJob}) {
    SCOPED_TRACE(CallName(call));
    ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
    ASSERT_EQ(0, mkdir((tree + "/sub").c_str(), 0755));
    ASSERT_EQ(0, mkdir((tree + "/m").c_str(), 0755));
    ASSERT_TRUE(WriteFile(tree + "/t1", Labelled("t1", 3000)));
    ASSERT_TRUE(WriteFile(tree + "/sub/t2", Labelled("t2", 3000)));
    Mount guard(tree + "/m");
    if (mount(source.c_str(), (tree + "/m").c_str(), nullptr, MS_BIND, nullptr) != 0) {
      GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
    }
    guard.adopt();

    const Outcome o = RunCall(call, tree);
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(kMountPoint + tree + "/m", o.message);
    EXPECT_EQ("", Diff(source_before, Snapshot(source)));
    EXPECT_EQ(std::set<std::string>{"m"}, Names(tree)) << "the rest of the tree must go";
    ASSERT_TRUE(guard.unmount());
    std::error_code ec;
    fs::remove_all(tree, ec);
  }
}

TEST_F(PosixSafetyMounts, BindMountedFileIsRefusedAndItsSourceKeepsItsContents) {
  const std::string source = dir_ / "source.bin";
  const std::string contents = Labelled("bind-mounted file source", 200000);
  ASSERT_TRUE(WriteFile(source, contents));
  const std::string tree = dir_ / "tree";
  const std::string target = tree + "/bound";

  for (Call call : {Call::kFile, Call::kRecursive, Call::kFlat}) {
    SCOPED_TRACE(CallName(call));
    ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
    ASSERT_TRUE(WriteFile(target, ""));
    ASSERT_TRUE(WriteFile(tree + "/other", Labelled("other", 3000)));
    Mount guard(target);
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      GTEST_SKIP() << "cannot bind-mount a file: " << std::strerror(errno);
    }
    guard.adopt();

    const Outcome o = RunCall(call, call == Call::kFile ? target : tree);
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(kMountPoint + target, o.message);
    EXPECT_EQ(contents, ReadFile(source));
    EXPECT_EQ(contents, ReadFile(target));
    if (call != Call::kFile) {
      EXPECT_EQ(std::set<std::string>{"bound"}, Names(tree)) << "the other file must go";
    }
    ASSERT_TRUE(guard.unmount());
    std::error_code ec;
    fs::remove_all(tree, ec);
  }
}

// The comm file names the calling process: writing random bytes there would rename it.
void RestoreComm(const std::string& comm) {
  std::string name = comm;
  if (!name.empty() && name.back() == '\n') name.pop_back();
  prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
}

TEST(PosixSafetyKernelFiles, ProcSelfCommIsRefusedAndUnchanged) {
  const std::string path = "/proc/self/comm";
  const std::string before = ReadFile(path);
  if (before.empty()) GTEST_SKIP() << "no /proc here";
  EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(kPseudo + path, shred_last_error());
  const std::string after = ReadFile(path);
  EXPECT_EQ(before, after);
  if (after != before) RestoreComm(before);
}

TEST_F(PosixSafetyMounts, CommOnAPrivateProcMountIsRefusedAndUnchanged) {
  const std::string mnt = dir_ / "proc";
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  Mount guard(mnt);
  if (mount("proc", mnt.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount proc: " << std::strerror(errno);
  }
  guard.adopt();
  const std::string path = mnt + "/self/comm";
  const std::string before = ReadFile(path);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(kPseudo + path, shred_last_error());
  const std::string after = ReadFile(path);
  EXPECT_EQ(before, after);
  if (after != before) RestoreComm(before);
  EXPECT_TRUE(guard.unmount());
}

TEST(PosixSafetyOtherNames, FileWithASecondHardLinkIsRefusedInTheEngineAndInAWalk) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string one = dir / "one";
  const std::string two = dir / "two";
  const std::string contents = Labelled("hard-linked contents", 100000);
  ASSERT_TRUE(WriteFile(one, contents));
  ASSERT_EQ(0, link(one.c_str(), two.c_str()));
  EXPECT_EQ(-1, shred_file(one.c_str(), SHRED_METHOD_DOD_3PASS));
  EXPECT_EQ(kHardLinks + one, shred_last_error());
  EXPECT_EQ(contents, ReadFile(one));
  EXPECT_EQ(contents, ReadFile(two));

  // In a walk: one name inside with its twin outside, and a pair with both names inside.
  const std::string tree = dir / "tree";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  ASSERT_EQ(0, mkdir((tree + "/sub").c_str(), 0755));
  const std::string outer = dir / "outer";
  ASSERT_TRUE(WriteFile(outer, contents));
  ASSERT_EQ(0, link(outer.c_str(), (tree + "/sub/outer-twin").c_str()));
  ASSERT_TRUE(WriteFile(tree + "/pair-a", Labelled("pair", 5000)));
  ASSERT_EQ(0, link((tree + "/pair-a").c_str(), (tree + "/pair-b").c_str()));
  ASSERT_TRUE(WriteFile(tree + "/plain", Labelled("plain", 5000)));
  ASSERT_TRUE(WriteFile(tree + "/sub/plain", Labelled("plain", 5000)));

  EXPECT_EQ(-1, shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK));
  const std::string message = shred_last_error();
  EXPECT_TRUE(message == kHardLinks + tree + "/sub/outer-twin" ||
              message == kHardLinks + tree + "/pair-a" || message == kHardLinks + tree + "/pair-b")
      << message;
  EXPECT_EQ(contents, ReadFile(outer));
  EXPECT_EQ(contents, ReadFile(tree + "/sub/outer-twin"));
  EXPECT_EQ(Labelled("pair", 5000), ReadFile(tree + "/pair-a"));
  EXPECT_EQ(Labelled("pair", 5000), ReadFile(tree + "/pair-b"));
  EXPECT_EQ((std::set<std::string>{"pair-a", "pair-b", "sub"}), Names(tree));
  EXPECT_EQ(std::set<std::string>{"outer-twin"}, Names(tree + "/sub"));
}

// ---- Writes: growth, sparse files, failing flushes ---------------------------------------------

// Appends numbered lines to a file the way a logger does: O_APPEND, each line forced to the
// device. Stopped and closed on every exit path, so that the file system can be unmounted.
class Appender {
 public:
  Appender(const std::string& path, std::string prefix)
      : fd_(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)), prefix_(std::move(prefix)) {}
  ~Appender() { Stop(); }
  Appender(const Appender&) = delete;
  Appender& operator=(const Appender&) = delete;

  bool ok() const { return fd_ >= 0; }
  int lines() const { return lines_.load(); }
  void Start() {
    thread_ = std::thread([this] {
      while (!stop_) {
        const std::string line = prefix_ + " " + std::to_string(lines_.load()) + "\n";
        if (write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
          fsync(fd_);
          ++lines_;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  std::string prefix_;
  std::atomic<bool> stop_{false};
  std::atomic<int> lines_{0};
  std::thread thread_;
};

class PosixSafetyWrites : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  TempDir dir_;
};

TEST_F(PosixSafetyWrites, FileThatGrowsDuringItsPassesIsKeptAndLaterDestroyed) {
  if (geteuid() != 0) GTEST_SKIP() << "loop mounts need root";
  const std::string image = dir_ / "disk.img";
  const std::string mnt = dir_ / "mnt";
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  Mount guard(mnt);
  const std::string why_not = posix_test::MountExt4Image(image, 48, mnt, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;

  const std::string original = Token(), appended = Token(), control = Token();
  const std::string path = mnt + "/growing.log";
  std::string bytes;
  while (bytes.size() < (size_t{4} << 20)) bytes += "original " + original + "\n";
  ASSERT_TRUE(WriteFile(path, bytes));
  ASSERT_TRUE(WriteFile(mnt + "/control", Labelled("control " + control + "\n", 64 * 1024)));
  ::sync();

  // The shred reads the size, then waits at its first write until the appender has added lines;
  // the appender goes on while the passes run.
  Appender appender(path, "appended " + appended);
  ASSERT_TRUE(appender.ok());
  int32_t result = 0;
  std::string message;
  const auto started = Clock::now();
  {
    WriteHold hold;
    std::thread shredder([&] {
      result = shred_file(path.c_str(), SHRED_METHOD_DOD_7PASS);
      message = shred_last_error();
    });
    const bool parked = WaitUntil([] { return os_test_writes_waiting() > 0; });
    appender.Start();
    WaitUntil([&] { return appender.lines() >= 5; });
    hold.release();
    shredder.join();
    ASSERT_TRUE(parked) << "the shred never reached its first write";
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  appender.Stop();
  std::printf("[  growth  ] 7 passes over 4 MiB in %.2f s; %d lines appended meanwhile\n", seconds,
              appender.lines());

  EXPECT_EQ(-1, result);
  EXPECT_EQ(0u, message.rfind(kGrew + path, 0)) << message;
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st)) << "the grown file must stay under its name";
  EXPECT_GT(st.st_size, static_cast<off_t>(bytes.size()));

  // With the writer gone, the same call destroys everything, the appended lines included.
  EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_7PASS)) << shred_last_error();
  ASSERT_EQ(0, unlink((mnt + "/control").c_str()));
  EXPECT_EQ(std::set<std::string>{"lost+found"}, Names(mnt));
  ASSERT_TRUE(guard.unmount()) << "image still mounted: " << std::strerror(errno);

  const std::string raw = ReadFile(image);
  ASSERT_EQ(size_t{48} << 20, raw.size());
  EXPECT_NE(std::string::npos, raw.find("control " + control)) << "search cannot see deleted data";
  EXPECT_EQ(std::string::npos, raw.find("original " + original)) << "original contents on disk";
  EXPECT_EQ(std::string::npos, raw.find("appended " + appended)) << "appended lines on disk";
}

TEST_F(PosixSafetyWrites, SparseFileLargerThanItsFileSystemIsOverwrittenWhereItHoldsData) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting tmpfs needs root";
  const std::string mnt = dir_ / "mnt";
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  Mount guard(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  }
  guard.adopt();
  struct statvfs empty {};
  ASSERT_EQ(0, statvfs(mnt.c_str(), &empty));

  const std::string path = mnt + "/sparse.bin";
  const off_t kSize = off_t{10} << 20;
  const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const std::string head = Labelled("head data", 3000), middle = Labelled("middle data", 5000);
  ASSERT_EQ(static_cast<ssize_t>(head.size()), pwrite(fd, head.data(), head.size(), 0));
  ASSERT_EQ(static_cast<ssize_t>(middle.size()),
            pwrite(fd, middle.data(), middle.size(), (off_t{6} << 20) + 100));
  ASSERT_EQ(0, ftruncate(fd, kSize));
  int64_t data_bytes = 0;
  for (off_t at = 0;;) {
    const off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = lseek(fd, data, SEEK_HOLE);
    ASSERT_GT(hole, data);
    data_bytes += hole - data;
    at = hole;
  }
  close(fd);
  ASSERT_GT(data_bytes, 0);
  ASSERT_LT(data_bytes, int64_t{64} << 10) << "tmpfs reports no holes";

  ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_TRUE(Names(mnt).empty());
  const test_util::Stats stats = test_util::current_stats();
  EXPECT_EQ(1, stats.files);
  EXPECT_EQ(3, stats.passes);
  EXPECT_EQ(data_bytes * 3, stats.bytes) << "not the data ranges SEEK_DATA/SEEK_HOLE report";
  struct statvfs after {};
  ASSERT_EQ(0, statvfs(mnt.c_str(), &after));
  EXPECT_EQ(empty.f_bfree, after.f_bfree) << "the file system was left holding blocks";
  EXPECT_TRUE(guard.unmount());
}

TEST_F(PosixSafetyWrites, FailingFlushStopsTheFirstPassAndKeepsTheFile) {
  const std::string path = dir_ / "data.bin";
  const std::string contents = Labelled("flushed data", 300000);
  ASSERT_TRUE(WriteFile(path, contents));
  {
    FlushFailure failing(EIO);
    EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS));
    EXPECT_EQ("Flush failed on pass 1: " + path + " (error 5)", std::string(shred_last_error()));
  }
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(static_cast<off_t>(contents.size()), st.st_size);
  EXPECT_EQ(std::set<std::string>{"data.bin"}, Names(dir_.path().string()));
  // With the device healthy again the same call goes through, so the flush was what stopped it.
  EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_TRUE(Names(dir_.path().string()).empty());
}

// ---- Jobs and the working directory ------------------------------------------------------------

// A relative job path names what it named at submission: a chdir right after submitting, while
// the write gate keeps the worker from finishing, must not redirect it into the new directory.
class PosixSafetyJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(restore_.ok());
    ASSERT_EQ(0, shred_init());
    a_ = dir_ / "A";
    b_ = dir_ / "B";
    for (const std::string* d : {&a_, &b_}) {
      ASSERT_EQ(0, mkdir(d->c_str(), 0755));
      ASSERT_EQ(0, mkdir((*d + "/tree").c_str(), 0755));
      ASSERT_EQ(0, mkdir((*d + "/tree/sub").c_str(), 0755));
      for (const char* name : {"/f", "/tree/1", "/tree/2", "/tree/3", "/tree/sub/4"}) {
        ASSERT_TRUE(WriteFile(*d + name, Labelled(*d + name, 70000)));
      }
    }
  }
  void TearDown() override {
    os_test_hold_writes(false);
    shred_cleanup();
  }

  // Submits with the working directory in A, moves to B at once (or once the worker is inside
  // its first write), then lets the worker go.
  void SubmitThenMove(bool directory, bool after_first_write) {
    ASSERT_EQ(0, chdir(a_.c_str()));
    const Tree b_before = Snapshot(b_);
    int32_t id = -1;
    {
      WriteHold hold;
      id = directory ? shred_directory_async("tree", SHRED_METHOD_QUICK, 1)
                     : shred_file_async("f", SHRED_METHOD_QUICK);
      ASSERT_GT(id, 0) << shred_last_error();
      if (after_first_write) {
        ASSERT_TRUE(WaitUntil([] { return os_test_writes_waiting() > 0; }));
      }
      ASSERT_EQ(0, chdir(b_.c_str()));
    }
    EXPECT_EQ(SHRED_JOB_SUCCEEDED, WaitForJob(id)) << shred_last_error();
    EXPECT_FALSE(Exists(a_ + (directory ? "/tree" : "/f"))) << "A's target must be destroyed";
    EXPECT_EQ("", Diff(b_before, Snapshot(b_))) << "B must be untouched";
  }

  TempDir dir_;
  CwdGuard restore_;
  std::string a_, b_;
};

TEST_F(PosixSafetyJobs, RelativeJobPathsKeepTheirWorkingDirectory) {
  for (bool after_first_write : {false, true}) {
    SCOPED_TRACE(after_first_write ? "moved during the first write" : "moved at once");
    {
      SCOPED_TRACE("shred_directory_async(\"tree\")");
      SubmitThenMove(true, after_first_write);
    }
    {
      SCOPED_TRACE("shred_file_async(\"f\")");
      SubmitThenMove(false, after_first_write);
    }
    if (HasFatalFailure()) return;
    // Fresh targets in A for the second round; B is never rebuilt, so it must last both.
    ASSERT_EQ(0, mkdir((a_ + "/tree").c_str(), 0755));
    ASSERT_EQ(0, mkdir((a_ + "/tree/sub").c_str(), 0755));
    for (const char* name : {"/f", "/tree/1", "/tree/2", "/tree/3", "/tree/sub/4"}) {
      ASSERT_TRUE(WriteFile(a_ + name, Labelled(a_ + name, 70000)));
    }
  }
}

// ---- Texts read while they are written ---------------------------------------------------------

TEST(PosixSafetyTexts, ReadersNeverSeeAHalfWrittenErrorOrStatistics) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string short_path = dir / "m";
  const std::string long_path = dir / std::string(200, 'q');
  std::vector<std::string> errors;
  for (const std::string* p : {&short_path, &long_path}) {
    ASSERT_EQ(-1, shred_file(p->c_str(), SHRED_METHOD_QUICK));
    errors.emplace_back(shred_last_error());
  }
  ASSERT_NE(errors[0].size(), errors[1].size());
  errors.emplace_back("No error");

  // Two sizes and two methods, so that the documents differ in length and in every number.
  const struct {
    std::string path;
    size_t size;
    int32_t method;
  } files[] = {{dir / "small", 1000, SHRED_METHOD_QUICK},
               {dir / "large", 70000, SHRED_METHOD_DOD_3PASS}};
  std::set<std::pair<long long, long long>> documents;  // bytes, passes
  for (const auto& f : files) {
    ASSERT_TRUE(WriteFile(f.path, std::string(f.size, 'x')));
    ASSERT_EQ(0, shred_file(f.path.c_str(), f.method)) << shred_last_error();
    const test_util::Stats s = test_util::current_stats();
    documents.insert({s.bytes, s.passes});
  }
  ASSERT_EQ(2u, documents.size());

#if defined(__SANITIZE_THREAD__)
  constexpr int kReads = 200000;  // per reader; the thread sanitizer watches every access
#else
  constexpr int kReads = 1000000;  // per reader; two readers of each text
#endif
  std::atomic<bool> stop{false};
  std::atomic<long> bad_errors{0}, bad_stats{0}, writes{0};
  std::string first_bad_error, first_bad_stats;
  std::mutex first_bad_lock;

  std::vector<std::thread> writers;
  for (const std::string* missing : {&short_path, &long_path}) {
    writers.emplace_back([&, missing] {
      while (!stop) {
        shred_file(missing->c_str(), SHRED_METHOD_QUICK);
        ++writes;
      }
    });
  }
  for (const auto& f : files) {
    writers.emplace_back([&] {
      const std::string data(f.size, 'x');
      while (!stop) {
        if (WriteFile(f.path, data)) shred_file(f.path.c_str(), f.method);
        ++writes;
      }
    });
  }
  const auto error_reader = [&] {
    for (int i = 0; i < kReads; ++i) {
      const std::string text = shred_last_error();
      if (text != errors[0] && text != errors[1] && text != errors[2]) {
        if (bad_errors++ == 0) {
          std::lock_guard<std::mutex> hold(first_bad_lock);
          first_bad_error = text;
        }
      }
    }
  };
  const auto stats_reader = [&] {
    for (int i = 0; i < kReads; ++i) {
      const std::string text = shred_stats_json();
      long long files_shredded = -1, bytes = -1, passes = -1, duration = -1;
      int consumed = 0;
      const int fields = std::sscanf(text.c_str(),
                                     "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,"
                                     "\"passes_completed\":%lld,\"duration_ms\":%lld}%n",
                                     &files_shredded, &bytes, &passes, &duration, &consumed);
      const bool whole = fields == 4 && static_cast<size_t>(consumed) == text.size() &&
                         files_shredded == 1 && duration >= 0 &&
                         documents.count({bytes, passes}) == 1;
      if (!whole && bad_stats++ == 0) {
        std::lock_guard<std::mutex> hold(first_bad_lock);
        first_bad_stats = text;
      }
    }
  };
  const auto started = Clock::now();
  std::vector<std::thread> readers;
  readers.emplace_back(error_reader);
  readers.emplace_back(error_reader);
  readers.emplace_back(stats_reader);
  readers.emplace_back(stats_reader);
  for (auto& t : readers) t.join();
  stop = true;
  for (auto& t : writers) t.join();
  std::printf("[  texts   ] %d reads of each text against %ld writer calls in %.2f s\n", 2 * kReads,
              writes.load(), std::chrono::duration<double>(Clock::now() - started).count());

  EXPECT_EQ(0, bad_errors.load()) << "first torn error text: \"" << first_bad_error << "\"";
  EXPECT_EQ(0, bad_stats.load()) << "first torn statistics: \"" << first_bad_stats << "\"";
}

}  // namespace
