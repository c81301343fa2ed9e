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
std::mutex g_room_mutex;
int64_t g_room = -1;  // guarded by g_room_mutex; negative: no limit

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

void os_test_disk_full_after(int64_t bytes) {
  std::lock_guard<std::mutex> lock(g_room_mutex);
  g_room = bytes;
}

bool os_test_disk_limited() {
  std::lock_guard<std::mutex> lock(g_room_mutex);
  return g_room >= 0;
}

uint32_t os_test_disk_room(int64_t position, int64_t size, uint32_t length) {
  std::lock_guard<std::mutex> lock(g_room_mutex);
  if (g_room < 0) return length;
  const int64_t inside = size > position ? size - position : 0;
  if (inside >= length) return length;
  const int64_t growth = length - inside;
  const int64_t allowed = growth < g_room ? growth : g_room;
  g_room -= allowed;
  return static_cast<uint32_t>(inside + allowed);
}
