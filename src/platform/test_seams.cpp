// The test build's switches (see test_seams.h): the write gate, failing flushes and forced name
// bytes. Plain standard-library threading, so the same switches serve both systems.
#include "platform/test_seams.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
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

constexpr uint32_t kMostNameBytes = 1024;
std::mutex g_name_mutex;
uint8_t g_name_bytes[kMostNameBytes];
uint32_t g_name_length = 0;
uint32_t g_name_next = 0;
uint64_t g_name_used = 0;

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

void os_test_force_name_bytes(const uint8_t* bytes, uint32_t length) {
  std::lock_guard<std::mutex> lock(g_name_mutex);
  g_name_length = bytes == nullptr ? 0 : (length < kMostNameBytes ? length : kMostNameBytes);
  if (g_name_length > 0) std::memcpy(g_name_bytes, bytes, g_name_length);
  g_name_next = 0;
  g_name_used = 0;
}

bool os_test_next_name_bytes(uint8_t* out, uint64_t length) {
  std::lock_guard<std::mutex> lock(g_name_mutex);
  if (g_name_length == 0) return false;
  for (uint64_t i = 0; i < length; ++i) {
    out[i] = g_name_bytes[g_name_next];
    g_name_next = (g_name_next + 1) % g_name_length;
  }
  g_name_used += length;
  return true;
}

uint64_t os_test_name_bytes_used() {
  std::lock_guard<std::mutex> lock(g_name_mutex);
  return g_name_used;
}
