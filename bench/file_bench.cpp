// Bytes overwritten per second by the file engine on an already-written file, against a plain
// loop of 64 KiB write() calls with one fdatasync per pass and against GNU coreutils `shred -n 3`,
// all interleaved in one run on one file system, so that only ratios are compared. The engine
// deletes what it overwrites, so each engine run gets a pre-written spare renamed into place.
// With LONG=1 it also runs the DoD 7-pass and the Gutmann 35-pass methods against as many plain
// fixed passes. Every row shows its median wall and processor seconds.
// Usage: file_bench [SIZE_MIB=1024] [DIR=.] [ROUNDS=3] [WINDOWS_KIB=e.g. 0,1024,8192] [LONG=0]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kelvarin_shred.h"
#include "shred_core.h"
#include "shred_random.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 65536;

int64_t g_size = 0;
std::string g_main, g_spare, g_target;

void cleanup() {
  unlink(g_main.c_str());
  unlink(g_spare.c_str());
  unlink(g_target.c_str());
  unlink((g_target + ".renamed").c_str());
}

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "file_bench: %s failed on %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  cleanup();
  std::exit(1);
}

struct Timing {
  double seconds = 0, cpu = 0;
};

// Started where a measured region begins; stop() gives its wall and processor seconds.
class Stopwatch {
 public:
  Timing stop() const {
    return {std::chrono::duration<double>(Clock::now() - start_).count(),
            bench::cpu_seconds() - cpu_};
  }

 private:
  Clock::time_point start_ = Clock::now();
  double cpu_ = bench::cpu_seconds();
};

// `passes` full passes of one fixed buffer, each ending with one fdatasync. With create the file
// is made fresh, which is how spares and the main file get their blocks written once.
Timing plain_loop(const std::string& path, int passes, bool create) {
  static std::vector<uint8_t> buffer(kChunk, 0x5A);
  const Stopwatch watch;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0), 0600);
  if (fd < 0) die("open", path);
  for (int pass = 0; pass < passes; ++pass) {
    if (lseek(fd, 0, SEEK_SET) != 0) die("lseek", path);
    for (int64_t offset = 0; offset < g_size; offset += kChunk) {
      if (write(fd, buffer.data(), kChunk) != static_cast<ssize_t>(kChunk)) die("write", path);
    }
    if (fdatasync(fd) != 0) die("fdatasync", path);
  }
  close(fd);
  return watch.stop();
}

// The engine consumes its file, so its input is a spare written outside the timed region.
Timing engine(int32_t method, int32_t passes) {
  if (rename(g_spare.c_str(), g_target.c_str()) != 0) die("rename", g_spare);
  const Stopwatch watch;
  const int32_t rc = method == SHRED_METHOD_DOD_3PASS
                         ? shred_file(g_target.c_str(), SHRED_METHOD_DOD_3PASS)
                         : shred_file_internal(g_target.c_str(), method, passes, nullptr);
  const Timing timing = watch.stop();
  if (rc != 0) {
    std::fprintf(stderr, "file_bench: engine failed: %s\n", shred_last_error());
    cleanup();
    std::exit(1);
  }
  if (access(g_target.c_str(), F_OK) == 0) die("engine left the file", g_target);
  plain_loop(g_spare, 1, true);
  return timing;
}

Timing system_shred() {
  const char* argv[] = {"shred", "-n", "3", "--", g_main.c_str(), nullptr};
  const Stopwatch watch;
  pid_t pid = 0;
  if (posix_spawnp(&pid, "shred", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    die("posix_spawnp shred", g_main);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    die("shred -n 3", g_main);
  }
  const Timing timing = watch.stop();
  // shred writes with O_DIRECT, which drops the file from the page cache; refilling the cache of
  // 1 GiB here costs up to 5x the next pass's time, so it is paid outside the timed region.
  plain_loop(g_main, 1, false);
  return timing;
}

// Deleting a large file has a cost of its own, which every engine run pays after its passes;
// measured alone so that it is not mistaken for a slow overwrite.
Timing engine_tail() {
  if (rename(g_spare.c_str(), g_target.c_str()) != 0) die("rename", g_spare);
  const Stopwatch watch;
  const int fd = open(g_target.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 || ftruncate(fd, 0) != 0 || fdatasync(fd) != 0) die("truncate", g_target);
  close(fd);
  const std::string renamed = g_target + ".renamed";
  if (rename(g_target.c_str(), renamed.c_str()) != 0 || unlink(renamed.c_str()) != 0) {
    die("rename and unlink", g_target);
  }
  const Timing timing = watch.stop();
  plain_loop(g_spare, 1, true);
  return timing;
}

// The random source alone, without I/O: the floor of any single-threaded random pass.
Timing random_fill_only() {
  static std::vector<uint8_t> buffer(kChunk);
  const Stopwatch watch;
  for (int64_t offset = 0; offset < g_size; offset += kChunk) {
    shred_fill_random(buffer.data(), kChunk);
    __asm__ __volatile__("" : : "r"(buffer.data()) : "memory");
  }
  return watch.stop();
}

// A copy of the engine's overwrite loop with its choices as parameters. window: bytes between
// writeback hints (0: none). helper: random chunks made on a second thread into a ring, so that
// making them overlaps the writes. tail: run on a spare and end as the engine does (truncate,
// fdatasync, rename, unlink), for figures comparable with the engine's.
struct Variant {
  bool random;
  int64_t window;
  bool helper, tail;
};

Timing engine_copy(const Variant& v) {
  constexpr int64_t kSlots = 32;
  static std::vector<uint8_t> ring(kSlots * kChunk, 0x00);
  std::mutex lock;
  std::condition_variable changed;
  int64_t made = 0, taken = 0;  // chunks, guarded by lock
  const std::string& path = v.tail ? g_target : g_main;
  if (v.tail && rename(g_spare.c_str(), g_target.c_str()) != 0) die("rename", g_spare);
  const Stopwatch watch;
  std::thread maker;
  if (v.helper) {
    maker = std::thread([&] {
      for (int64_t i = 0; i < g_size / static_cast<int64_t>(kChunk); ++i) {
        {
          std::unique_lock<std::mutex> guard(lock);
          changed.wait(guard, [&] { return i - taken < kSlots; });
        }
        shred_fill_random(&ring[(i % kSlots) * kChunk], kChunk);
        std::lock_guard<std::mutex> guard(lock);
        made = i + 1;
        changed.notify_all();
      }
    });
  }
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) die("open", path);
  int64_t hinted = 0;
  for (int64_t i = 0, offset = 0; offset < g_size; ++i, offset += kChunk) {
    uint8_t* chunk = &ring[(v.helper ? i % kSlots : 0) * kChunk];
    if (v.helper) {
      std::unique_lock<std::mutex> guard(lock);
      changed.wait(guard, [&] { return made > i; });
    } else if (v.random) {
      shred_fill_random(chunk, kChunk);
    }
    if (write(fd, chunk, kChunk) != static_cast<ssize_t>(kChunk)) die("write", path);
    if (v.helper) {
      std::lock_guard<std::mutex> guard(lock);
      taken = i + 1;
      changed.notify_all();
    }
    if (v.window > 0 && offset + static_cast<int64_t>(kChunk) - hinted >= v.window) {
      sync_file_range(fd, hinted, offset + kChunk - hinted, SYNC_FILE_RANGE_WRITE);
      hinted = offset + kChunk;
    }
  }
  if (fdatasync(fd) != 0) die("fdatasync", path);
  if (v.tail && (ftruncate(fd, 0) != 0 || fdatasync(fd) != 0)) die("truncate", path);
  close(fd);
  if (v.helper) maker.join();
  if (v.tail) {
    const std::string renamed = g_target + ".renamed";
    if (rename(path.c_str(), renamed.c_str()) != 0 || unlink(renamed.c_str()) != 0) {
      die("rename and unlink", path);
    }
  }
  const Timing timing = watch.stop();
  if (v.tail) plain_loop(g_spare, 1, true);
  return timing;
}

struct Row {
  std::string name;
  int passes;  // 0: not an overwrite, so no rate
  std::function<Timing()> run;
  std::vector<double> seconds, cpu;
  static double median_of(std::vector<double> s) {
    std::sort(s.begin(), s.end());
    return s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
  }
  double median() const { return median_of(seconds); }
  double rate() const { return passes * static_cast<double>(g_size) / median(); }
};

}  // namespace

int main(int argc, char** argv) {
  const long size_mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1024;
  const std::string dir = argc > 2 ? argv[2] : ".";
  const long rounds = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 3;
  std::vector<int64_t> windows;
  for (const char* p = argc > 4 ? argv[4] : ""; *p != '\0';) {
    char* end = nullptr;
    const long long kib = std::strtoll(p, &end, 10);
    if (end == p) break;
    windows.push_back(kib * 1024);
    p = *end == ',' ? end + 1 : end;
  }
  const bool long_methods = argc > 5 && std::strcmp(argv[5], "1") == 0;
  if (size_mib < 1 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [SIZE_MIB=1024] [DIR=.] [ROUNDS=3] [WINDOWS_KIB] [LONG=0]\n",
                 argv[0]);
    return 2;
  }
  g_size = static_cast<int64_t>(size_mib) << 20;
  const std::string stem = dir + "/file_bench." + std::to_string(getpid());
  g_main = stem + ".main";
  g_spare = stem + ".spare";
  g_target = stem + ".target";

  enum { kPlain, kFixed, kRandom, kPlain3, kDod, kShred };
  std::vector<Row> rows = {
      {"plain loop", 1, [] { return plain_loop(g_main, 1, false); }, {}, {}},
      {"fixed-pattern pass (engine)", 1, [] { return engine(SHRED_METHOD_CUSTOM, 1); }, {}, {}},
      {"random pass (engine)", 1, [] { return engine(SHRED_METHOD_QUICK, 1); }, {}, {}},
      {"plain loop x3", 3, [] { return plain_loop(g_main, 3, false); }, {}, {}},
      {"DoD 3-pass (engine)", 3, [] { return engine(SHRED_METHOD_DOD_3PASS, 3); }, {}, {}},
      {"shred -n 3 (coreutils)", 3, system_shred, {}, {}},
      {"engine tail alone", 0, engine_tail, {}, {}}};
  if (long_methods) {
    rows.push_back({"plain loop x7", 7, [] { return plain_loop(g_main, 7, false); }, {}, {}});
    rows.push_back(
        {"DoD 7-pass (engine)", 7, [] { return engine(SHRED_METHOD_DOD_7PASS, 7); }, {}, {}});
    rows.push_back({"plain loop x35", 35, [] { return plain_loop(g_main, 35, false); }, {}, {}});
    rows.push_back({"Gutmann (engine)", 35, [] { return engine(SHRED_METHOD_GUTMANN, 35); }, {}, {}});
  }
  if (!windows.empty()) {
    rows.push_back({"random fill alone, no I/O", 1, random_fill_only, {}, {}});
    const auto add = [&rows](const std::string& name, Variant v) {
      rows.push_back({name, 1, [v] { return engine_copy(v); }, {}, {}});
    };
    add("copy+tail, fixed, 8 MiB", {false, 8 << 20, false, true});
    add("copy+tail, random, 8 MiB", {true, 8 << 20, false, true});
    add("copy+tail, random, helper, 8 MiB", {true, 8 << 20, true, true});
    add("copy, random, helper, 8 MiB", {true, 8 << 20, true, false});
    for (const int64_t w : windows) {
      const std::string label = ", " + std::to_string(w >> 10) + " KiB";
      add("copy, fixed" + label, {false, w, false, false});
      add("copy, random" + label, {true, w, false, false});
    }
  }

  // Written once up front: a file's first write runs far slower than an overwrite.
  plain_loop(g_main, 1, true);
  plain_loop(g_spare, 1, true);
  for (long round = 0; round < rounds; ++round) {
    for (Row& row : rows) {
      const Timing timing = row.run();
      row.seconds.push_back(timing.seconds);
      row.cpu.push_back(timing.cpu);
    }
  }
  cleanup();

  std::printf("file of %ld MiB in %s, %ld interleaved rounds, median of each (MB = 1e6 bytes)\n",
              size_mib, dir.c_str(), rounds);
  std::printf("shred -n 3 writes three random passes; the DoD method writes 0x00, 0xFF, random.\n");
  std::printf(
      "Engine times include its tail (truncate, fdatasync, rename, unlink); copies of its\n"
      "overwrite loop (window in KiB, 0 = no writeback hint) have none.\n\n");
  std::printf("%-32s %6s %8s %7s %8s %6s   per-round seconds\n", "name", "passes", "seconds",
              "CPU s", "MB/s", "ratio");
  for (const Row& row : rows) {
    std::printf("%-32s %6d %8.3f %7.3f ", row.name.c_str(), row.passes, row.median(),
                Row::median_of(row.cpu));
    if (row.passes == 0) {
      std::printf("%8s %6s  ", "-", "-");
    } else {
      // The plain loop with as many passes is each row's baseline.
      const Row* base = &rows[kPlain];
      for (const Row& r : rows) {
        if (r.name.rfind("plain loop", 0) == 0 && r.passes == row.passes) base = &r;
      }
      std::printf("%8.1f %6.3f  ", row.rate() / 1e6, row.rate() / base->rate());
    }
    for (const double s : row.seconds) std::printf(" %6.3f", s);
    std::printf("\n");
  }

  const auto ratio = [&](int row, int base) { return rows[row].rate() / rows[base].rate(); };
  const auto goal = [](const char* text, double value, double target) {
    std::printf("%-40s %6.3f (>= %.2f)  %s\n", text, value, target,
                value >= target ? "met" : "not met");
  };
  std::printf("\n");
  goal("fixed-pattern pass / plain loop", ratio(kFixed, kPlain), 0.95);
  goal("random pass / plain loop", ratio(kRandom, kPlain), 0.85);
  goal("random pass / fixed-pattern pass", ratio(kRandom, kFixed), 0.95);
  goal("DoD 3-pass / plain loop x3", ratio(kDod, kPlain3), 0.90);
  goal("DoD 3-pass speed-up over shred -n 3", ratio(kDod, kShred), 2.0);
  if (long_methods) {
    const auto find = [&rows](const char* name) {
      for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].name == name) return static_cast<int>(i);
      }
      return 0;
    };
    goal("DoD 7-pass / plain loop x7", ratio(find("DoD 7-pass (engine)"), find("plain loop x7")),
         0.95);
    goal("Gutmann / plain loop x35", ratio(find("Gutmann (engine)"), find("plain loop x35")), 0.95);
  }
  return 0;
}
