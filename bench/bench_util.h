// What the benchmarks share: their processor-time clock, and noticing another disk benchmark of
// ours running at the same time, which would distort both; each measurement waits for it and is
// taken again when one started while it ran.
#ifndef KELVARIN_SHRED_BENCH_BENCH_UTIL_H
#define KELVARIN_SHRED_BENCH_BENCH_UTIL_H

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace bench {

// User and system seconds of this process, every thread included, and of the children it has
// waited for (a coreutils or dd run).
inline double cpu_seconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

// True when another of the disk benchmarks runs (comm holds at most 15 characters of a name).
inline bool rival_running() {
  static const char* const kNames[] = {"file_bench", "dir_bench", "async_bench", "free_space_b"};
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  char self[32];
  std::snprintf(self, sizeof self, "%d", static_cast<int>(getpid()));
  bool found = false;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (std::strcmp(entry->d_name, self) == 0) continue;
    char path[sizeof entry->d_name + 16];
    std::snprintf(path, sizeof path, "/proc/%s/comm", entry->d_name);
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) continue;
    char comm[64] = {0};
    if (std::fgets(comm, sizeof comm, f) != nullptr) {
      comm[std::strcspn(comm, "\n")] = '\0';
      for (const char* name : kNames) found = found || std::strcmp(comm, name) == 0;
    }
    std::fclose(f);
    if (found) break;
  }
  closedir(proc);
  return found;
}

inline void wait_for_rivals(const char* who) {
  bool told = false;
  while (rival_running()) {
    if (!told) std::fprintf(stderr, "%s: waiting for another disk benchmark to end\n", who);
    told = true;
    sleep(5);
  }
}

}  // namespace bench

#endif  // KELVARIN_SHRED_BENCH_BENCH_UTIL_H
