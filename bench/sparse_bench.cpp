// Seconds to shred a sparse file (large apparent size, little data) with shred_file, against a
// plain loop that overwrites only the data extents of an equal file, with one fdatasync per pass:
// the floor of any engine that skips holes. Rounds interleave on one file system and only ratios
// are judged. Every shredded file is a spare written and synced before the clock starts.
// Uses only the exported functions, so the same source measures any build of the library.
// Usage: sparse_bench [SIZE_MIB=1024] [DATA_MIB=16] [DIR=.] [ROUNDS=3] [EXTENTS=4]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "kelvarin_shred.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kChunk = 65536;

int64_t g_size = 0;                                  // apparent size of every file
std::vector<std::pair<int64_t, int64_t>> g_extents;  // offset and length of each data extent
std::string g_dir, g_main, g_spare, g_target;

void cleanup() {
  unlink(g_main.c_str());
  unlink(g_spare.c_str());
  unlink(g_target.c_str());
}

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "sparse_bench: %s failed on %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  cleanup();
  std::exit(1);
}

void sync_dir() {
  const int fd = open(g_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) die("syncfs", g_dir);
  close(fd);
}

// The data extents get non-repeating content, so that no file system can store them as holes
// or share their blocks; the rest of the file is never written and stays a hole.
void write_sparse(const std::string& path) {
  static std::vector<uint64_t> buffer(kChunk / 8);
  static uint64_t x = 0x9E3779B97F4A7C15ULL;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) die("open", path);
  if (ftruncate(fd, g_size) != 0) die("ftruncate", path);
  for (const auto& [start, length] : g_extents) {
    for (int64_t offset = start; offset < start + length; offset += kChunk) {
      for (uint64_t& word : buffer) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        word = x;
      }
      const size_t n = static_cast<size_t>(std::min(kChunk, start + length - offset));
      if (pwrite(fd, buffer.data(), n, offset) != static_cast<ssize_t>(n)) die("pwrite", path);
    }
  }
  if (fdatasync(fd) != 0) die("fdatasync", path);
  close(fd);
}

// What the file system made of a file: allocated bytes and the data ranges it reports, so that a
// file system without holes is noticed instead of silently benchmarking a dense file.
void describe_layout(const std::string& path, int64_t* allocated, int* ranges) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) die("fstat", path);
  *allocated = static_cast<int64_t>(st.st_blocks) * 512;
  *ranges = 0;
  for (off_t offset = 0;;) {
    const off_t data = lseek(fd, offset, SEEK_DATA);
    if (data < 0) break;  // ENXIO: no data past offset
    const off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0) die("lseek SEEK_HOLE", path);
    ++*ranges;
    offset = hole;
  }
  close(fd);
}

// `passes` passes of one fixed buffer over the data extents only, each ending with one fdatasync.
double plain_loop(int passes) {
  static std::vector<uint8_t> buffer(kChunk, 0x5A);
  const Clock::time_point start = Clock::now();
  const int fd = open(g_main.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) die("open", g_main);
  for (int pass = 0; pass < passes; ++pass) {
    for (const auto& [begin, length] : g_extents) {
      for (int64_t offset = begin; offset < begin + length; offset += kChunk) {
        const size_t n = static_cast<size_t>(std::min(kChunk, begin + length - offset));
        if (pwrite(fd, buffer.data(), n, offset) != static_cast<ssize_t>(n)) die("pwrite", g_main);
      }
    }
    if (fdatasync(fd) != 0) die("fdatasync", g_main);
  }
  close(fd);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library consumes its file, so each run gets the spare renamed into place, and the next
// spare is written afterwards, outside the timed region.
double library(int32_t method) {
  if (rename(g_spare.c_str(), g_target.c_str()) != 0) die("rename", g_spare);
  const Clock::time_point start = Clock::now();
  const int32_t rc = shred_file(g_target.c_str(), method);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (rc != 0) {
    std::fprintf(stderr, "sparse_bench: shred_file failed: %s\n", shred_last_error());
    cleanup();
    std::exit(1);
  }
  if (access(g_target.c_str(), F_OK) == 0) die("shred_file left the file", g_target);
  write_sparse(g_spare);
  return seconds;
}

struct Row {
  const char* name;
  int passes;
  std::function<double()> run;
  std::vector<double> seconds, cpu;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A name for the statfs magic of the common Linux file systems; the number otherwise.
std::string file_system_name(const std::string& dir) {
  struct statfs fs {};
  if (statfs(dir.c_str(), &fs) != 0) die("statfs", dir);
  const unsigned long magic = static_cast<unsigned long>(fs.f_type);
  switch (magic) {
    case 0xEF53:
      return "ext2/ext3/ext4";
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x01021994:
      return "tmpfs";
    case 0x794C7630:
      return "overlayfs";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "magic 0x%lX", magic);
      return text;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long size_mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1024;
  const long data_mib = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 16;
  g_dir = argc > 3 ? argv[3] : ".";
  const long rounds = argc > 4 ? std::strtol(argv[4], nullptr, 10) : 3;
  const long extents = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 4;
  // Each extent must fit in its own slice of the file with a hole after it.
  if (size_mib < 1 || data_mib < 1 || rounds < 1 || extents < 1 || data_mib >= size_mib ||
      (data_mib << 20) % extents != 0 || ((data_mib << 20) / extents) % 4096 != 0) {
    std::fprintf(stderr,
                 "usage: %s [SIZE_MIB=1024] [DATA_MIB=16 (< SIZE_MIB)] [DIR=.] [ROUNDS=3] "
                 "[EXTENTS=4 (dividing DATA into 4 KiB multiples)]\n",
                 argv[0]);
    return 2;
  }
  g_size = static_cast<int64_t>(size_mib) << 20;
  const int64_t data = static_cast<int64_t>(data_mib) << 20;
  // Extent k starts at k/EXTENTS of the file (block-aligned): data at offset 0, a hole after
  // every extent, and the file ends in a hole.
  for (long k = 0; k < extents; ++k) {
    g_extents.emplace_back(g_size / extents * k / 4096 * 4096, data / extents);
  }
  const std::string stem = g_dir + "/sparse_bench." + std::to_string(getpid());
  g_main = stem + ".main";
  g_spare = stem + ".spare";
  g_target = stem + ".target";

  if (shred_init() != 0) die("shred_init", g_dir);
  write_sparse(g_main);
  write_sparse(g_spare);
  int64_t allocated = 0;
  int ranges = 0;
  describe_layout(g_main, &allocated, &ranges);

  enum { kPlain, kQuick, kPlain3, kDod };
  std::vector<Row> rows = {
      {"plain loop, data extents", 1, [] { return plain_loop(1); }, {}, {}},
      {"shred_file QUICK", 1, [] { return library(SHRED_METHOD_QUICK); }, {}, {}},
      {"plain loop x3, data extents", 3, [] { return plain_loop(3); }, {}, {}},
      {"shred_file DOD_3PASS", 3, [] { return library(SHRED_METHOD_DOD_3PASS); }, {}, {}}};
  for (long round = 0; round < rounds; ++round) {
    // Rotating the order keeps slow drift over the run from always favouring the same row.
    for (size_t k = 0; k < rows.size(); ++k) {
      Row& row = rows[(k + static_cast<size_t>(round)) % rows.size()];
      for (int attempt = 0;; ++attempt) {
        bench::wait_for_rivals("sparse_bench");
        // Writeback left over from set-up or from the last row is not this row's cost.
        sync_dir();
        const double cpu0 = bench::cpu_seconds();
        const double seconds = row.run();
        const double cpu = bench::cpu_seconds() - cpu0;
        if (!bench::rival_running() || attempt == 4) {
          row.seconds.push_back(seconds);
          row.cpu.push_back(cpu);
          break;
        }
        std::fprintf(stderr, "sparse_bench: another disk benchmark started; %s measured again\n",
                     row.name);
      }
    }
  }
  cleanup();
  shred_cleanup();

  std::printf(
      "sparse_bench: %ld MiB apparent size, %ld MiB of data in %ld extents of %lld KiB, in %s "
      "(%s)\n",
      size_mib, data_mib, extents, static_cast<long long>(data / extents >> 10), g_dir.c_str(),
      file_system_name(g_dir).c_str());
  std::printf("layout as written: %.1f MiB allocated, %d data ranges by SEEK_DATA/SEEK_HOLE%s\n",
              static_cast<double>(allocated) / (1 << 20), ranges,
              allocated > 2 * data ? "  (NOT SPARSE: this file system filled the holes)" : "");
  std::printf("%ld interleaved rounds, median of each; ratio = seconds / the plain loop's with\n",
              rounds);
  std::printf(
      "the same passes (1.00 is the floor); cpu = user + system seconds of the process\n\n");
  std::printf("%-30s %6s %9s %9s %11s %8s   per-round seconds\n", "name", "passes", "seconds",
              "cpu s", "data MB/s", "ratio");
  for (const Row& row : rows) {
    const double s = median(row.seconds);
    const double base = median(rows[row.passes == 3 ? kPlain3 : kPlain].seconds);
    std::printf("%-30s %6d %9.3f %9.3f %11.1f %8.2f  ", row.name, row.passes, s, median(row.cpu),
                static_cast<double>(data) * row.passes / s / 1e6, s / base);
    for (const double t : row.seconds) std::printf(" %7.3f", t);
    std::printf("\n");
  }
  std::printf("\nshred_file QUICK / plain loop:         %.2fx the floor's time\n",
              median(rows[kQuick].seconds) / median(rows[kPlain].seconds));
  std::printf("shred_file DOD_3PASS / plain loop x3:  %.2fx the floor's time\n",
              median(rows[kDod].seconds) / median(rows[kPlain3].seconds));
  return 0;
}
