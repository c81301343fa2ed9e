// Seconds to wipe the free space of a loop-mounted ext4 image with shred_free_space, against dd
// filling the same image with a new file of zeros (1 MiB blocks, until the file system is full,
// then syncfs, then removed): the disk's own fill speed. The image's blocks are written once
// before anything is measured (mkfs without discard keeps them), since a first write of a new
// file runs far slower here than an overwrite. Rounds interleave; only ratios are judged.
// Needs root (loop mounts). Usage: free_space_bench [SIZE_MIB=1024] [DIR=.] [ROUNDS=3]
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

std::string g_image, g_mnt;
bool g_mounted = false;

void cleanup() {
  if (g_mounted) umount2(g_mnt.c_str(), MNT_DETACH);
  rmdir(g_mnt.c_str());
  unlink(g_image.c_str());
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "free_space_bench: %s failed: %s\n", what, std::strerror(errno));
  cleanup();
  std::exit(1);
}

bool shell(const std::string& command) {
  return std::system(("PATH=\"$PATH:/sbin:/usr/sbin\" " + command + " >/dev/null 2>&1").c_str()) ==
         0;
}

void sync_mount() {
  const int fd = open(g_mnt.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) die("syncfs");
  close(fd);
}

// dd stops with an error once the file system is full; that is its end, not a failure.
void dd_fill() {
  shell("dd if=/dev/zero of=" + g_mnt + "/dd.fill bs=1M");
  sync_mount();
  if (unlink((g_mnt + "/dd.fill").c_str()) != 0) die("unlink dd.fill");
  sync_mount();
}

void wipe(shred_method method) {
  if (shred_free_space(g_mnt.c_str(), method) != 0) {
    std::fprintf(stderr, "free_space_bench: wipe failed: %s\n", shred_last_error());
    cleanup();
    std::exit(1);
  }
}

struct Row {
  const char* name;
  std::function<void()> run;
  std::vector<double> seconds, cpu;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const long size_mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1024;
  const std::string dir = argc > 2 ? argv[2] : ".";
  const long rounds = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 3;
  if (size_mib < 64 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [SIZE_MIB=1024 (at least 64)] [DIR=.] [ROUNDS=3]\n", argv[0]);
    return 2;
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "free_space_bench: needs root for the loop mount\n");
    return 2;
  }
  bench::wait_for_rivals("free_space_bench");
  const std::string stem = dir + "/free_space_bench." + std::to_string(getpid());
  g_image = stem + ".img";
  g_mnt = stem + ".mnt";
  if (mkdir(g_mnt.c_str(), 0700) != 0) die("mkdir");
  // Written through once, so that every measured write is an overwrite of allocated blocks.
  if (!shell("dd if=/dev/zero of=" + g_image + " bs=1M count=" + std::to_string(size_mib) +
             " conv=fsync") ||
      !shell("mkfs.ext4 -q -F -E nodiscard " + g_image) ||
      !shell("mount -o loop " + g_image + " " + g_mnt)) {
    die("making the image");
  }
  g_mounted = true;
  shred_init();

  std::vector<Row> rows = {
      {"dd fill + syncfs + rm", dd_fill, {}, {}},
      {"wipe, 1 fixed pass (custom)", [] { wipe(SHRED_METHOD_CUSTOM); }, {}, {}},
      {"wipe, 1 random pass (quick)", [] { wipe(SHRED_METHOD_QUICK); }, {}, {}}};
  for (long round = 0; round < rounds; ++round) {
    for (Row& row : rows) {
      sync_mount();
      const double cpu = bench::cpu_seconds();
      const Clock::time_point start = Clock::now();
      row.run();
      row.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      row.cpu.push_back(bench::cpu_seconds() - cpu);
    }
  }
  const char* stats = shred_stats_json();
  std::printf("ext4 image of %ld MiB in %s, %ld interleaved rounds, median of each\n", size_mib,
              dir.c_str(), rounds);
  std::printf("last wipe's statistics: %s\n\n", stats);
  std::printf("%-30s %8s %7s %7s   per-round seconds\n", "name", "seconds", "CPU s", "x dd");
  const double base = median(rows[0].seconds);
  for (const Row& row : rows) {
    std::printf("%-30s %8.3f %7.3f %7.3f  ", row.name, median(row.seconds), median(row.cpu),
                median(row.seconds) / base);
    for (const double s : row.seconds) std::printf(" %6.3f", s);
    std::printf("\n");
  }
  const double worst = std::max(median(rows[1].seconds), median(rows[2].seconds)) / base;
  std::printf("\n%-40s %6.3f (<= 1.10)  %s\n", "slower wipe / dd fill", worst,
              worst <= 1.10 ? "met" : "not met");
  shred_cleanup();
  cleanup();
  return 0;
}
