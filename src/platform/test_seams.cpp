// The test build's write gate (see test_seams.h). Plain standard-library threading, so the same
// gate serves both systems.
#include "platform/test_seams.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_gate_mutex;
std::condition_variable g_gate_changed;
bool g_hold = false;
uint32_t g_permits = 0;
uint32_t g_waiting = 0;
std::atomic<uint32_t> g_flush_failure{0};

}  // namespace

void os_test_hold_writes(bool hold) {
  {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_hold = hold;
    if (!hold) g_permits = 0;
  }
  g_gate_changed.notify_all();
}

void os_test_permit_writes(uint32_t count) {
  {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_permits += count;
  }
  g_gate_changed.notify_all();
}

uint32_t os_test_writes_waiting() {
  std::lock_guard<std::mutex> lock(g_gate_mutex);
  return g_waiting;
}

void os_test_write_gate() {
  std::unique_lock<std::mutex> lock(g_gate_mutex);
  ++g_waiting;
  g_gate_changed.wait(lock, [] { return !g_hold || g_permits > 0; });
  --g_waiting;
  if (g_hold) --g_permits;
}

void os_test_fail_flushes(uint32_t error) { g_flush_failure.store(error); }

uint32_t os_test_flush_failure() { return g_flush_failure.load(); }
