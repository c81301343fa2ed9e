// Throughput of the random source for 65536-byte requests, measured in the same run as raw
// getrandom(2) (the baseline it has to beat 5x) and memset (the ceiling). Links against the
// library for shred_fill_random; -DRANDOM_BENCH_STANDALONE builds a stand-in over chacha20.cpp.
// Usage: random_bench [seconds per run, default 1]
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef RANDOM_BENCH_STANDALONE
#include "platform/chacha20.h"
#endif

// Returns 0 on success.
extern "C++" int32_t shred_fill_random(void* buf, uint64_t len);

namespace {

constexpr size_t kRequest = 65536;
constexpr int kRounds = 3;

bool GetrandomFill(uint8_t* p, size_t len) {
  while (len > 0) {
    const ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

#ifdef RANDOM_BENCH_STANDALONE
// What the library does per request: a fresh key and nonce from the kernel, expanded locally.
static bool stream_fill(uint8_t* buf, size_t len) {
  uint8_t seed[44];  // 32-byte key, then 12-byte nonce.
  const bool ok = GetrandomFill(seed, sizeof seed);
  if (ok) chacha20_keystream(seed, seed + 32, 0, buf, len);
  chacha20_wipe(seed, sizeof seed);
  return ok;
}

int32_t shred_fill_random(void* buf, uint64_t len) {
  return stream_fill(static_cast<uint8_t*>(buf), static_cast<size_t>(len)) ? 0 : -1;
}
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Method {
  const char* name;
  bool (*fill)(uint8_t* buf, size_t len);
};

const Method kMethods[] = {
    {"getrandom", GetrandomFill},
    {"source", [](uint8_t* buf, size_t len) { return shred_fill_random(buf, len) == 0; }},
    {"memset",
     [](uint8_t* buf, size_t len) {
       std::memset(buf, 0x5A, len);
       return true;
     }},
};

// Bytes per second over one run of `seconds`, or a negative value if the fill failed.
double Measure(const Method& m, uint8_t* buf, double seconds) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  uint64_t bytes = 0;
  Clock::time_point now;
  do {
    if (!m.fill(buf, kRequest)) return -1.0;
    // The buffer is never read, so without this the memset could be dropped as a dead store.
    __asm__ __volatile__("" : : "r"(buf) : "memory");
    bytes += kRequest;
    now = Clock::now();
  } while (now < deadline);
  return static_cast<double>(bytes) / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1.0;
  if (argc > 1) {
    char* end = nullptr;
    seconds = std::strtod(argv[1], &end);
    if (end == argv[1] || *end != '\0' || !(seconds > 0.0)) {
      std::fprintf(stderr, "usage: %s [seconds per run > 0]\n", argv[0]);
      return 2;
    }
  }
  constexpr size_t kNumMethods = sizeof kMethods / sizeof kMethods[0];
  std::vector<uint8_t> buf(kRequest, 1);  // Touched up front so no run pays for page faults.
  std::vector<double> rates[kNumMethods];
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < kNumMethods; ++i) {
      const double rate = Measure(kMethods[i], buf.data(), seconds);
      if (rate < 0) {
        std::fprintf(stderr, "%s failed\n", kMethods[i].name);
        return 1;
      }
      rates[i].push_back(rate);
    }
  }

  std::printf("%zu-byte requests, %d interleaved rounds of %.2f s per method (MB = 1e6 bytes)\n",
              kRequest, kRounds, seconds);
  double median[kNumMethods];
  for (size_t i = 0; i < kNumMethods; ++i) {
    std::sort(rates[i].begin(), rates[i].end());
    median[i] = rates[i][kRounds / 2];
    std::printf("%-10s %10.1f MB/s median  %10.1f MB/s best\n", kMethods[i].name, median[i] / 1e6,
                rates[i].back() / 1e6);
  }
  const double vs_getrandom = median[1] / median[0];
  std::printf("source/getrandom: %.2fx\n", vs_getrandom);
  std::printf("source/memset:    %.3fx\n", median[1] / median[2]);
  std::printf("goal (>= 5x getrandom): %s\n", vs_getrandom >= 5.0 ? "met" : "not met");
  return 0;
}
