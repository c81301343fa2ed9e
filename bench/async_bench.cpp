// What the job machinery costs: 64 written 16 MiB files shredded as 64 concurrent jobs against
// one after another; and one 1 GiB file shredded by the engine with no job record against the same
// run as a job (its progress sink locks the job table per 64 KiB chunk), on disk and on a private
// tmpfs where no disk noise hides a sub-percent cost. Rounds interleave; only ratios are judged.
// Usage: async_bench [DIR=.] [ROUNDS=3] [PARTS=jobs,disk,tmpfs,calls]  (tmpfs needs root)
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "kelvarin_shred.h"
#include "shred_core.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kJobs = 64;
constexpr int64_t kSmallSize = int64_t{16} << 20;
constexpr int64_t kLargeSize = int64_t{1} << 30;
constexpr size_t kChunk = 65536;

std::string g_work;
std::vector<std::string> g_created;  // files that may exist, for cleanup on any exit
char g_mount_point[4096];            // fixed storage, so a signal handler can unmount it
volatile sig_atomic_t g_mounted = 0;

void unmount_tmpfs() {
  if (g_mounted != 0) {
    umount2(g_mount_point, MNT_DETACH);
    g_mounted = 0;
    rmdir(g_mount_point);
  }
}

void cleanup() {
  for (const std::string& path : g_created) unlink(path.c_str());
  unmount_tmpfs();
  if (!g_work.empty()) rmdir(g_work.c_str());
}

// An interrupted run must not leave a tmpfs mounted in the middle of someone's build tree.
void on_signal(int sig) {
  if (g_mounted != 0) {
    umount2(g_mount_point, MNT_DETACH);
    rmdir(g_mount_point);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "async_bench: %s failed on %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  cleanup();
  std::exit(1);
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

void sync_work() {
  const int fd = open(g_work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) die("syncfs", g_work);
  close(fd);
}

// Non-repeating content, so that the blocks a shred overwrites are real, allocated data.
void write_file(const std::string& path, int64_t size) {
  static std::vector<uint64_t> buffer(kChunk / 8);
  static uint64_t x = 0x9E3779B97F4A7C15ULL;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) die("open", path);
  for (int64_t offset = 0; offset < size; offset += kChunk) {
    for (uint64_t& word : buffer) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    if (write(fd, buffer.data(), kChunk) != static_cast<ssize_t>(kChunk)) die("write", path);
  }
  close(fd);
}

void rename_into_place(const std::string& spare, const std::string& target) {
  if (rename(spare.c_str(), target.c_str()) != 0) die("rename", spare);
}

// Waits for every job with 1 ms naps; true when none failed. A job that ended while later ones
// were still being submitted may have lost its slot to one of them: its id is then unknown (-1
// from shred_progress too), and the caller's check that no file is left decides for it.
bool wait_jobs(const std::vector<int32_t>& ids) {
  std::vector<int32_t> status(ids.size(), 0);
  for (;;) {
    bool running = false;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (status[i] == 0) {
        status[i] = shred_is_complete(ids[i]);
        if (status[i] == -1 && shred_progress(ids[i]) == -1) status[i] = 2;  // slot reused
      }
      running = running || status[i] == 0;
    }
    if (!running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::none_of(status.begin(), status.end(), [](int32_t s) { return s == -1; });
}

struct timing {
  double wall;
  double cpu;  // user + system of the whole process, every thread included
};

timing timed(const std::function<bool()>& body, const char* name) {
  const double cpu0 = bench::cpu_seconds();
  const Clock::time_point start = Clock::now();
  const bool ok = body();
  const timing t{std::chrono::duration<double>(Clock::now() - start).count(),
                 bench::cpu_seconds() - cpu0};
  if (!ok) {
    std::fprintf(stderr, "async_bench: %s failed: %s\n", name, shred_last_error());
    cleanup();
    std::exit(1);
  }
  return t;
}

// `prepare` runs untimed before every attempt; a run during which a rival started is repeated.
timing measured(const std::function<void()>& prepare, const std::function<bool()>& body,
                const char* name) {
  for (int attempt = 0;; ++attempt) {
    bench::wait_for_rivals("async_bench");
    prepare();
    const timing t = timed(body, name);
    if (!bench::rival_running() || attempt == 4) return t;
    std::fprintf(stderr, "async_bench: another disk benchmark started; %s measured again\n", name);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double mb_per_s(int64_t bytes, double seconds) {
  return static_cast<double>(bytes) / seconds / 1e6;
}

// ---- (a) 64 concurrent jobs against 64 synchronous calls --------------------------------------

void part_concurrent(int rounds) {
  std::vector<std::string> spares, targets;
  for (int i = 0; i < kJobs; ++i) {
    spares.push_back(g_work + "/spare16_" + std::to_string(i));
    targets.push_back(g_work + "/file16_" + std::to_string(i));
    g_created.push_back(spares.back());
    g_created.push_back(targets.back());
    write_file(spares.back(), kSmallSize);
  }
  sync_work();

  // The targets come from spares written earlier; the next spares are written and synced before
  // the clock starts, so no writeback of set-up data overlaps a measurement.
  auto prepare = [&]() {
    for (int i = 0; i < kJobs; ++i) rename_into_place(spares[i], targets[i]);
    for (int i = 0; i < kJobs; ++i) write_file(spares[i], kSmallSize);
    sync_work();
  };
  auto none_left = [&]() {
    return std::none_of(targets.begin(), targets.end(),
                        [](const std::string& t) { return exists(t); });
  };
  auto run_jobs = [&]() {
    std::vector<int32_t> ids;
    for (const std::string& t : targets) {
      const int32_t id = shred_file_async(t.c_str(), SHRED_METHOD_QUICK);
      if (id <= 0) return false;
      ids.push_back(id);
    }
    return wait_jobs(ids) && none_left();
  };
  auto run_sequential = [&]() {
    for (const std::string& t : targets) {
      if (shred_file(t.c_str(), SHRED_METHOD_QUICK) != 0) return false;
    }
    return none_left();
  };

  // The same concurrency without the job table, so that what the table's lock costs 64 workers
  // is not confused with what 64 writers cost the disk.
  auto run_threads = [&]() {
    std::vector<int32_t> rc(targets.size(), -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < targets.size(); ++i) {
      threads.emplace_back([&, i]() {
        rc[i] = shred_file_internal(targets[i].c_str(), SHRED_METHOD_QUICK, 1, nullptr);
      });
    }
    for (std::thread& t : threads) t.join();
    return std::all_of(rc.begin(), rc.end(), [](int32_t r) { return r == 0; }) && none_left();
  };

  const int64_t bytes = kJobs * kSmallSize;
  std::printf("\n(a) %d files of %lld MiB, method 0: %d concurrent jobs vs one after another\n",
              kJobs, static_cast<long long>(kSmallSize >> 20), kJobs);
  std::printf("%-6s %14s %16s %8s %20s\n", "round", "jobs MB/s", "sequential MB/s", "ratio",
              "64 threads MB/s");
  std::vector<double> jobs_s, seq_s, thr_s;
  for (int round = 0; round < rounds; ++round) {
    double j = 0, s = 0, t = 0;
    for (int k = 0; k < 3; ++k) {
      switch ((k + round) % 3) {
        case 0:
          j = measured(prepare, run_jobs, "64 jobs").wall;
          break;
        case 1:
          s = measured(prepare, run_sequential, "64 sequential shred_file").wall;
          break;
        default:
          t = measured(prepare, run_threads, "64 threads, null ctx").wall;
          break;
      }
    }
    jobs_s.push_back(j);
    seq_s.push_back(s);
    thr_s.push_back(t);
    std::printf("%-6d %14.1f %16.1f %8.2f %20.1f\n", round + 1, mb_per_s(bytes, j),
                mb_per_s(bytes, s), s / j, mb_per_s(bytes, t));
    std::fflush(stdout);
  }
  const double j = median(jobs_s), s = median(seq_s), t = median(thr_s);
  std::printf("%-6s %14.1f %16.1f %8.2f %20.1f\n", "median", mb_per_s(bytes, j), mb_per_s(bytes, s),
              s / j, mb_per_s(bytes, t));
  std::printf("jobs / sequential: %.2fx; jobs / 64 plain threads: %.2fx\n", s / j, t / j);
  for (const std::string& path : spares) unlink(path.c_str());
}

// ---- (b) the progress sink ---------------------------------------------------------------------

// A copy of the job table's layout and sink, so that its cost can be timed where the real one is
// unreachable; `g_copy_slot` chooses where the job sits, since the sink scans from slot 0.
struct copy_job {
  int32_t job_id, active, is_directory, recursive, method, passes;
  char path[2048];
  int32_t progress, status;
  std::atomic<int32_t> cancel_requested;
  void* thread;
  int32_t worker_alive;
};
copy_job g_copy_table[128];
pthread_mutex_t g_copy_lock = PTHREAD_MUTEX_INITIALIZER;

void copy_sink(int32_t job_id, int32_t percent, int64_t, int64_t) {
  pthread_mutex_lock(&g_copy_lock);
  for (copy_job& job : g_copy_table) {
    if (job.active != 0 && job.job_id == job_id) {
      job.progress = percent;
      break;
    }
  }
  pthread_mutex_unlock(&g_copy_lock);
}

void noop_sink(int32_t, int32_t, int64_t, int64_t) {}

void place_copy_job(int slot, int32_t id) {
  for (copy_job& job : g_copy_table) job.active = 0;
  g_copy_table[slot].active = 1;
  g_copy_table[slot].job_id = id;
}

struct variant {
  const char* name;
  std::function<bool(const std::string&)> run;
};

std::atomic<int32_t> g_never_cancel{0};

std::vector<variant> sink_variants(bool with_copies) {
  std::vector<variant> v;
  v.push_back({"engine, null ctx", [](const std::string& p) {
                 return shred_file_internal(p.c_str(), SHRED_METHOD_QUICK, 1, nullptr) == 0;
               }});
  v.push_back({"job (shred_file_async)", [](const std::string& p) {
                 const int32_t id = shred_file_async(p.c_str(), SHRED_METHOD_QUICK);
                 return id > 0 && wait_jobs({id});
               }});
  if (!with_copies) return v;
  // The job path minus the job table: what a worker thread and the 1 ms polling cost by
  // themselves, so that they are not blamed on the sink.
  v.push_back({"engine on own thread, 1 ms polls", [](const std::string& p) {
                 std::atomic<int32_t> done{0};
                 int32_t rc = -1;
                 std::thread worker([&]() {
                   rc = shred_file_internal(p.c_str(), SHRED_METHOD_QUICK, 1, nullptr);
                   done.store(1, std::memory_order_release);
                 });
                 while (done.load(std::memory_order_acquire) == 0) {
                   std::this_thread::sleep_for(std::chrono::milliseconds(1));
                 }
                 worker.join();
                 return rc == 0;
               }});
  v.push_back({"engine, ctx + no-op sink", [](const std::string& p) {
                 const shred_job_ctx ctx{&g_never_cancel, 1, 0, noop_sink};
                 return shred_file_internal(p.c_str(), SHRED_METHOD_QUICK, 1, &ctx) == 0;
               }});
  v.push_back({"engine, ctx + sink copy, slot 0", [](const std::string& p) {
                 place_copy_job(0, 7);
                 const shred_job_ctx ctx{&g_never_cancel, 7, 0, copy_sink};
                 return shred_file_internal(p.c_str(), SHRED_METHOD_QUICK, 1, &ctx) == 0;
               }});
  v.push_back({"engine, ctx + sink copy, slot 127", [](const std::string& p) {
                 place_copy_job(127, 7);
                 const shred_job_ctx ctx{&g_never_cancel, 7, 0, copy_sink};
                 return shred_file_internal(p.c_str(), SHRED_METHOD_QUICK, 1, &ctx) == 0;
               }});
  return v;
}

// Interleaves the variants over `rounds` rounds on one file system; `prepare` puts a written
// file at `target` outside the timed region. Costs are judged by the median of each round's
// ratio to the null-ctx run of the same round, which cancels drift slower than one round.
// `judge_cpu` makes process CPU time the deciding figure, for runs with no device to wait on,
// where wall time mostly measures how much of the two cores the rest of the machine leaves us.
void run_sink_rounds(const char* title, const std::string& target,
                     const std::function<void()>& prepare, int rounds, bool with_copies,
                     bool judge_cpu) {
  const std::vector<variant> variants = sink_variants(with_copies);
  std::vector<std::vector<double>> wall(variants.size()), cpu(variants.size());
  std::printf("\n%s, %d rounds\n  %-6s", title, rounds, "round");
  for (size_t k = 0; k < variants.size(); ++k) std::printf(" %8s%zu", "MB/s #", k);
  std::printf("   (wall; # = row of the table below)\n");
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> row(variants.size());
    for (size_t k = 0; k < variants.size(); ++k) {
      const size_t index = (k + static_cast<size_t>(round)) % variants.size();
      const timing t = measured(
          prepare, [&]() { return variants[index].run(target) && !exists(target); },
          variants[index].name);
      wall[index].push_back(t.wall);
      cpu[index].push_back(t.cpu);
      row[index] = t.wall;
    }
    std::printf("  %-6d", round + 1);
    for (double w : row) std::printf(" %9.1f", mb_per_s(kLargeSize, w));
    std::printf("\n");
    std::fflush(stdout);
  }
  auto paired = [&](const std::vector<std::vector<double>>& v, size_t k) {
    std::vector<double> r;
    for (int i = 0; i < rounds; ++i) r.push_back((v[k][i] / v[0][i] - 1) * 100);
    return median(r);
  };
  std::printf("  %-2s %-34s %9s %9s %11s %9s %11s\n", "#", "variant (medians)", "MB/s", "wall s",
              "wall vs #0", "cpu s", "cpu vs #0");
  for (size_t k = 0; k < variants.size(); ++k) {
    std::printf("  %-2zu %-34s %9.1f %9.3f %+10.2f%% %9.3f %+10.2f%%\n", k, variants[k].name,
                mb_per_s(kLargeSize, median(wall[k])), median(wall[k]), paired(wall, k),
                median(cpu[k]), paired(cpu, k));
  }
  const double overhead = judge_cpu ? paired(cpu, 1) : paired(wall, 1);
  const char* basis = judge_cpu ? "CPU time" : "wall time";
  std::printf("  job path vs null ctx: %+.2f%% %s (median of per-round ratios)\n", overhead, basis);
  std::printf("  progress sink costs < 1%% (whole job path, %s): %s\n", basis,
              overhead < 1.0 ? "met" : "not met");
  if (with_copies) {
    // The copy in the worst slot is the sink alone, with no thread start and no polling.
    const double sink =
        judge_cpu ? paired(cpu, variants.size() - 1) : paired(wall, variants.size() - 1);
    std::printf("  progress sink costs < 1%% (sink copy alone, slot 127, %s): %s (%+.2f%%)\n",
                basis, sink < 1.0 ? "met" : "not met", sink);
  }
}

void part_sink_disk(int rounds) {
  const std::string spare = g_work + "/spare1g", target = g_work + "/file1g";
  g_created.push_back(spare);
  g_created.push_back(target);
  write_file(spare, kLargeSize);
  sync_work();
  auto prepare = [&]() {
    rename_into_place(spare, target);
    write_file(spare, kLargeSize);
    sync_work();
  };
  run_sink_rounds("(b) 1 GiB, method 0, disk", target, prepare, rounds, false, false);
  unlink(spare.c_str());
}

void part_sink_tmpfs(int rounds) {
  if (geteuid() != 0) {
    std::printf("\n(b) tmpfs: skipped, mounting needs root\n");
    return;
  }
  const std::string mount_point = g_work + "/tmpfs";
  if (mount_point.size() >= sizeof g_mount_point) die("mount point length", mount_point);
  std::memcpy(g_mount_point, mount_point.c_str(), mount_point.size() + 1);
  if (mkdir(g_mount_point, 0700) != 0) die("mkdir", mount_point);
  // Room for one 1 GiB file only: the file is rewritten in place of a spare between runs.
  if (mount("tmpfs", g_mount_point, "tmpfs", MS_NOSUID | MS_NODEV, "size=1200m,mode=0700") != 0) {
    rmdir(g_mount_point);
    die("mount tmpfs", mount_point);
  }
  g_mounted = 1;
  const std::string target = mount_point + "/file1g";
  run_sink_rounds(
      "(b) 1 GiB, method 0, tmpfs (no disk: CPU cost only)", target,
      [&]() { write_file(target, kLargeSize); }, rounds, true, true);
  unlink(target.c_str());
  unmount_tmpfs();
}

// The copy of the sink alone: what 16384 calls (1 GiB in 64 KiB chunks) cost on one thread.
void part_sink_calls() {
  constexpr int kCalls = 16384;
  std::printf("\n(b) the sink copy alone, %d uncontended calls (one 1 GiB run):\n", kCalls);
  for (int slot : {0, 127}) {
    place_copy_job(slot, 7);
    std::vector<double> ms;
    for (int rep = 0; rep < 9; ++rep) {
      const Clock::time_point start = Clock::now();
      for (int i = 0; i < kCalls; ++i) copy_sink(7, i * 100 / kCalls, i, kCalls);
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    const double m = median(ms);
    std::printf("  job in slot %3d: %.3f ms per run, %.0f ns per call\n", slot, m,
                m * 1e6 / kCalls);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : ".";
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string parts = "," + std::string(argc > 3 ? argv[3] : "jobs,disk,tmpfs,calls") + ",";
  auto wanted = [&](const char* part) {
    return parts.find("," + std::string(part) + ",") != std::string::npos;
  };
  if (rounds < 1) {
    std::fprintf(stderr, "usage: async_bench [DIR=.] [ROUNDS=3] [PARTS=jobs,disk,tmpfs,calls]\n");
    return 2;
  }
  g_work = base + "/async_bench." + std::to_string(getpid());
  if (mkdir(g_work.c_str(), 0700) != 0) die("mkdir", g_work);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  if (shred_init() != 0) die("shred_init", g_work);
  std::printf("async_bench: under %s, %d rounds, %u hardware threads\n", g_work.c_str(), rounds,
              std::thread::hardware_concurrency());

  if (wanted("jobs")) part_concurrent(rounds);
  if (wanted("disk")) part_sink_disk(rounds);
  // Each tmpfs run takes under a second, so more rounds are cheap and steady the median.
  if (wanted("tmpfs")) part_sink_tmpfs(rounds * 3);
  if (wanted("calls")) part_sink_calls();

  shred_cleanup();
  cleanup();
  return 0;
}
