// Files per second destroying a tree of written 4 KiB files: the library's recursive walk against
// `find -exec shred -u -n 1 {} +` plus `rm -r`, and plain `rm -r` as the floor, each on its own
// fresh synced tree in the same run; only ratios of medians are judged. SLICE=dir interleaves the
// methods per directory for noisy disks (each baseline then pays one /bin/sh start per directory).
// Usage: dir_bench [FILES=10000] [DIRS=100] [DIR=.] [ROUNDS=3] [METHODS=lib,find,rm] [SLICE=tree]
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "kelvarin_shred.h"
#include "shred_random.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFileSize = 4096;

std::string g_work;  // everything this run creates lives below it

int spawn_shell(const std::string& command) {
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Single quotes protect every byte but the quote itself, which is closed, escaped and reopened.
std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void remove_work() {
  if (!g_work.empty()) spawn_shell("rm -rf -- " + quoted(g_work));
}

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "dir_bench: %s failed on %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  remove_work();
  std::exit(1);
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Cheap non-repeating content, so that no file system could store the files as holes or dedupe
// them.
void fill(uint8_t* buffer, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (size_t i = 0; i < kFileSize; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(buffer + i, &x, 8);
  }
}

void sync_work() {
  const int fd = open(g_work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) die("syncfs", g_work);
  close(fd);
}

// Written once and made durable outside the timed region: the methods then overwrite blocks
// that already exist on the device, as they would on a real tree.
void build_tree(const std::string& tree, int files, int dirs) {
  if (mkdir(tree.c_str(), 0700) != 0) die("mkdir", tree);
  for (int d = 0; d < dirs; ++d) {
    char sub[32];
    std::snprintf(sub, sizeof sub, "/d%03d", d);
    if (mkdir((tree + sub).c_str(), 0700) != 0) die("mkdir", tree + sub);
  }
  uint8_t buffer[kFileSize];
  for (int i = 0; i < files; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "/d%03d/f%05d", i % dirs, i);
    const std::string path = tree + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) die("open", path);
    fill(buffer, static_cast<uint64_t>(i) + 1);
    if (write(fd, buffer, kFileSize) != static_cast<ssize_t>(kFileSize)) die("write", path);
    close(fd);
  }
  sync_work();
}

// ---- Experimental copies of the engine's per-file steps, to measure changes to it -----------

// Which of the engine's steps a model keeps.
struct model_steps {
  bool flush_after_truncate;  // the engine's second fdatasync, after cutting the file to 0
  bool truncate;              // ftruncate(0) at all
  bool rename_first;          // rename and unlink before the final truncate (nothing flushed after)
};

bool model_file(const char* path, const model_steps& steps) {
  struct stat st {};
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  static uint8_t buffer[65536];
  const int64_t size = st.st_size;
  for (int64_t offset = 0; offset < size;) {
    const size_t chunk = static_cast<size_t>(std::min<int64_t>(size - offset, sizeof buffer));
    shred_fill_random(buffer, chunk);
    if (write(fd, buffer, chunk) != static_cast<ssize_t>(chunk)) {
      close(fd);
      return false;
    }
    offset += static_cast<int64_t>(chunk);
  }
  fdatasync(fd);

  std::string name(path);
  const size_t slash = name.rfind('/');
  char random[17];
  shred_random_alphanumeric(random, 16);
  const std::string new_name = name.substr(0, slash + 1) + "__shred_" + random + ".tmp";
  if (steps.rename_first) {
    const bool renamed =
        renameat2(AT_FDCWD, path, AT_FDCWD, new_name.c_str(), RENAME_NOREPLACE) == 0;
    if (steps.truncate) ftruncate(fd, 0);
    if (steps.flush_after_truncate) fdatasync(fd);
    close(fd);
    unlink(renamed ? new_name.c_str() : path);
    return true;
  }
  if (steps.truncate) {
    lseek(fd, 0, SEEK_SET);
    ftruncate(fd, lseek(fd, 0, SEEK_CUR));
  }
  if (steps.flush_after_truncate) fdatasync(fd);
  close(fd);
  if (renameat2(AT_FDCWD, path, AT_FDCWD, new_name.c_str(), RENAME_NOREPLACE) == 0) {
    unlink(new_name.c_str());
  } else {
    unlink(path);
  }
  return true;
}

bool model_walk(const std::string& dir, const model_steps& steps) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return false;
  bool ok = true;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const std::string child = dir + "/" + entry->d_name;
    ok = (entry->d_type == DT_DIR ? model_walk(child, steps) : model_file(child.c_str(), steps)) &&
         ok;
  }
  closedir(listing);
  return ok && rmdir(dir.c_str()) == 0;
}

// A directory's files overwritten in batches: every file of a batch is written and its
// writeback started before any is waited for, so the device sees one queue of writes and the
// per-file flush latencies overlap instead of adding up. With one_flush, only the batch's last
// file gets fdatasync: the others' writeback is awaited and the device cache flush that the last
// fdatasync issues covers them too (true of ext4 on a block device, not promised by POSIX).
constexpr size_t kBatch = 64;

bool batch_finish(std::vector<std::pair<int, std::string>>& batch, bool one_flush) {
  for (size_t i = 0; i < batch.size(); ++i) {
    const int fd = batch[i].first;
    if (one_flush && i + 1 < batch.size()) {
      sync_file_range(
          fd, 0, 0,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    } else {
      fdatasync(fd);
    }
  }
  for (auto& [fd, path] : batch) {
    ftruncate(fd, 0);
    close(fd);
    const size_t slash = path.rfind('/');
    char random[17];
    shred_random_alphanumeric(random, 16);
    const std::string new_name = path.substr(0, slash + 1) + "__shred_" + random + ".tmp";
    const bool renamed =
        renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, new_name.c_str(), RENAME_NOREPLACE) == 0;
    unlink(renamed ? new_name.c_str() : path.c_str());
  }
  batch.clear();
  return true;
}

bool batch_walk(const std::string& dir, bool one_flush) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return false;
  bool ok = true;
  std::vector<std::pair<int, std::string>> batch;
  std::vector<std::string> subdirs;
  static uint8_t buffer[65536];
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::string child = dir + "/" + entry->d_name;
    if (entry->d_type == DT_DIR) {
      subdirs.push_back(std::move(child));
      continue;
    }
    struct stat st {};
    if (lstat(child.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      ok = false;
      continue;
    }
    const int fd = open(child.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) close(fd);
      ok = false;
      continue;
    }
    for (int64_t offset = 0; offset < st.st_size;) {
      const size_t chunk =
          static_cast<size_t>(std::min<int64_t>(st.st_size - offset, sizeof buffer));
      shred_fill_random(buffer, chunk);
      if (write(fd, buffer, chunk) != static_cast<ssize_t>(chunk)) ok = false;
      offset += static_cast<int64_t>(chunk);
    }
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    batch.emplace_back(fd, std::move(child));
    if (batch.size() == kBatch) batch_finish(batch, one_flush);
  }
  batch_finish(batch, one_flush);
  closedir(listing);
  for (const std::string& sub : subdirs) ok = batch_walk(sub, one_flush) && ok;
  return ok && rmdir(dir.c_str()) == 0;
}

struct method {
  const char* key;
  const char* label;
};

// The library, the two baselines, and models of the engine with one step changed each.
const method kMethods[] = {
    {"lib", "library shred_directory_recursive"},
    {"find", "find -exec shred -u -n 1 + rm -r"},
    {"rm", "rm -r"},
    {"model", "model: engine's steps as they are"},
    {"model-noflush", "model: no fdatasync after truncate"},
    {"model-notrunc", "model: no truncate, no 2nd flush"},
    {"model-rename1st", "model: rename, truncate, unlink; no 2nd flush"},
    {"model-batch", "model: 64 files written, then each fdatasync'ed"},
    {"model-batch1", "model: 64 files written, one fdatasync"},
};

// Seconds for one method on a fresh tree; negative when it failed or left something behind.
double run_method(const std::string& key, const std::string& tree) {
  const Clock::time_point start = Clock::now();
  bool ok = true;
  if (key == "lib") {
    ok = shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK) == 0;
    if (!ok) std::fprintf(stderr, "dir_bench: library failed: %s\n", shred_last_error());
  } else if (key == "find") {
    ok = spawn_shell("find " + quoted(tree) + " -type f -exec shred -u -n 1 {} + && rm -r " +
                     quoted(tree)) == 0;
  } else if (key == "rm") {
    ok = spawn_shell("rm -r " + quoted(tree)) == 0;
  } else if (key == "model") {
    ok = model_walk(tree, {true, true, false});
  } else if (key == "model-noflush") {
    ok = model_walk(tree, {false, true, false});
  } else if (key == "model-notrunc") {
    ok = model_walk(tree, {false, false, false});
  } else if (key == "model-rename1st") {
    ok = model_walk(tree, {false, true, true});
  } else if (key == "model-batch") {
    ok = batch_walk(tree, false);
  } else if (key == "model-batch1") {
    ok = batch_walk(tree, true);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (exists(tree)) {
    std::fprintf(stderr, "dir_bench: %s left %s behind\n", key.c_str(), tree.c_str());
    spawn_shell("rm -rf -- " + quoted(tree));
    ok = false;
  }
  return ok ? seconds : -1.0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    if (comma > start) out.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

const char* label_of(const std::string& key) {
  for (const method& m : kMethods) {
    if (key == m.key) return m.label;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int dirs = argc > 2 ? std::atoi(argv[2]) : 100;
  const std::string base = argc > 3 ? argv[3] : ".";
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  const std::vector<std::string> keys = split(argc > 5 ? argv[5] : "lib,find,rm");
  const bool sliced = argc > 6 && std::strcmp(argv[6], "dir") == 0;
  if (files < 1 || files > 99999 || dirs < 1 || dirs > 999 || rounds < 1 || keys.empty()) {
    std::fprintf(stderr,
                 "usage: dir_bench [FILES=10000 (<100000)] [DIRS=100 (<1000)] [DIR=.] [ROUNDS=3] "
                 "[METHODS=lib,find,rm] [SLICE=tree|dir]\n  methods:");
    for (const method& m : kMethods) std::fprintf(stderr, " %s", m.key);
    std::fprintf(stderr, "\n");
    return 2;
  }
  for (const std::string& key : keys) {
    if (label_of(key) == nullptr) {
      std::fprintf(stderr, "dir_bench: unknown method %s\n", key.c_str());
      return 2;
    }
  }

  g_work = base + "/dir_bench." + std::to_string(getpid());
  if (mkdir(g_work.c_str(), 0700) != 0) die("mkdir", g_work);
  shred_init();

  std::printf("dir_bench: %d files of %zu bytes in %d directories under %s, %d rounds, %s\n", files,
              kFileSize, dirs, g_work.c_str(), rounds,
              sliced ? "methods interleaved per directory, synced between directories"
                     : "one whole tree per method and round");
  std::printf("%-6s", "round");
  for (const std::string& key : keys) std::printf(" %14s", key.c_str());
  std::printf("   (files/s)\n");

  std::vector<std::vector<double>> seconds(keys.size());
  bool all_ok = true;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> row(keys.size(), -1.0);
    if (sliced) {
      // A burst of foreign I/O lasting seconds now lands on every method alike. The untimed sync
      // after each directory keeps one method's deferred writeback out of the next one's time.
      bench::wait_for_rivals("dir_bench");
      for (const std::string& key : keys) build_tree(g_work + "/tree_" + key, files, dirs);
      std::fill(row.begin(), row.end(), 0.0);
      for (int d = 0; d < dirs; ++d) {
        char sub[32];
        std::snprintf(sub, sizeof sub, "/d%03d", d);
        for (size_t k = 0; k < keys.size(); ++k) {
          const size_t index = (k + static_cast<size_t>(round + d)) % keys.size();
          const double t = run_method(keys[index], g_work + "/tree_" + keys[index] + sub);
          if (t < 0 || row[index] < 0) {
            row[index] = -1.0;
          } else {
            row[index] += t;
          }
          sync_work();
        }
      }
      for (const std::string& key : keys) rmdir((g_work + "/tree_" + key).c_str());
      for (double t : row) all_ok = all_ok && t > 0;
      if (bench::rival_running()) std::fprintf(stderr, "dir_bench: another disk benchmark ran\n");
    }
    // Rotating the order keeps any drift over the run from always favouring the same method.
    for (size_t k = 0; k < keys.size() && !sliced; ++k) {
      const size_t index = (k + static_cast<size_t>(round)) % keys.size();
      const std::string tree = g_work + "/tree_" + keys[index];
      for (int attempt = 0;; ++attempt) {
        bench::wait_for_rivals("dir_bench");
        build_tree(tree, files, dirs);
        row[index] = run_method(keys[index], tree);
        if (row[index] < 0 || !bench::rival_running() || attempt == 4) break;
        std::fprintf(stderr, "dir_bench: another disk benchmark started; %s measured again\n",
                     keys[index].c_str());
      }
      if (row[index] < 0) all_ok = false;
    }
    std::printf("%-6d", round + 1);
    for (size_t k = 0; k < keys.size(); ++k) {
      if (row[k] > 0) {
        seconds[k].push_back(row[k]);
        std::printf(" %14.0f", files / row[k]);
      } else {
        std::printf(" %14s", "FAILED");
      }
    }
    std::printf("\n");
    std::fflush(stdout);
  }

  std::vector<double> rate(keys.size(), 0.0);
  std::printf("%-6s", "median");
  for (size_t k = 0; k < keys.size(); ++k) {
    rate[k] = seconds[k].empty() ? 0.0 : files / median(seconds[k]);
    std::printf(" %14.0f", rate[k]);
  }
  std::printf("\n\n");
  for (size_t k = 0; k < keys.size(); ++k) {
    std::printf("  %-16s %-48s %8.0f files/s\n", keys[k].c_str(), label_of(keys[k]), rate[k]);
  }

  auto find_rate = [&](const char* key) {
    for (size_t k = 0; k < keys.size(); ++k) {
      if (keys[k] == key) return rate[k];
    }
    return 0.0;
  };
  const double lib = find_rate("lib");
  const double pipeline = find_rate("find");
  const double rm = find_rate("rm");
  std::printf("\n");
  if (lib > 0 && pipeline > 0)
    std::printf("library / find|shred pipeline: %.2fx\n", lib / pipeline);
  if (lib > 0 && rm > 0) std::printf("library / rm -r:               %.2fx\n", lib / rm);
  for (size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].rfind("model", 0) == 0 && rate[k] > 0 && lib > 0) {
      std::printf("%-16s / library:     %.2fx\n", keys[k].c_str(), rate[k] / lib);
    }
  }
  if (lib > 0) {
    std::printf("library >= 1000 files/s: %s\n", lib >= 1000 ? "met" : "not met");
  }
  if (lib > 0 && pipeline > 0) {
    std::printf("library >= 5x find|shred pipeline: %s\n", lib >= 5 * pipeline ? "met" : "not met");
  }
  shred_cleanup();
  remove_work();
  if (!all_ok) std::printf("some runs FAILED (see messages above)\n");
  return all_ok ? 0 : 1;
}
