// The random source: the system's cryptographic generator, and rand() where that generator
// fails, and the background fillers that run it ahead of a writer. Every fill stands alone:
// nothing of the generator is kept between calls.
#include "shred_random.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "platform/platform.h"
#include "platform/test_seams.h"

namespace {

constexpr char kCharset[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr uint32_t kCharsetSize = sizeof kCharset - 1;  // 62
constexpr uint64_t kNameBlock = 128;

// The system generator takes a 32-bit count; larger requests are served in pieces.
constexpr uint64_t kLargestRequest = uint64_t{1} << 30;

#if defined(KELVARIN_SHRED_TEST_SEAMS)
std::atomic<bool> g_fail_system_random{false};
#endif

bool system_random(uint8_t* buffer, uint64_t length) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (g_fail_system_random.load(std::memory_order_relaxed)) return false;
#endif
  while (length > 0) {
    const uint64_t piece = length < kLargestRequest ? length : kLargestRequest;
    if (!os_random_bytes(buffer, static_cast<uint32_t>(piece))) return false;
    buffer += piece;
    length -= piece;
  }
  return true;
}

// Blocks in a filler's ring: one is the caller's while the others are made ahead.
constexpr uint32_t kRingBlocks = 32;

// One lock and one condition serve every filler for sleeping: there are at most as many fillers
// as processors, and a side sleeps only when the other has fallen a whole ring behind or ahead.
os_lock g_filler_lock = OS_LOCK_INIT;
os_cond g_filler_changed = OS_COND_INIT;
std::atomic<uint32_t> g_fillers{0};

// Spins this many times, yielding, before a side goes to sleep: a block takes tens of
// microseconds, less than a sleep and a wake-up cost.
constexpr int kSpins = 64;

}  // namespace

// The counters only grow; block n lives in slot n % kRingBlocks. The caller holds block
// `taken - 1`; blocks before it are released, and the filler may make blocks while fewer than
// kRingBlocks are made but not released.
struct shred_filler {
  os_thread* thread;
  uint8_t* ring;
  std::atomic<uint64_t> made;
  std::atomic<uint64_t> taken;
  std::atomic<bool> stop;
  // Whether each side waits on g_filler_changed; one flag each, since their sleeps may overlap
  // in time.
  std::atomic<bool> filler_sleeps;
  std::atomic<bool> caller_sleeps;
};

namespace {

uint64_t released(const shred_filler* filler) {
  const uint64_t taken = filler->taken.load();
  return taken > 0 ? taken - 1 : 0;
}

// Wakes the other side if it may sleep. The counter it waits for was stored before this load,
// and a sleeper raises its flag before it looks at the counter again, so one of the two always
// sees the other (both are sequentially consistent).
void wake(const std::atomic<bool>& sleeps) {
  if (!sleeps.load()) return;
  os_lock_guard hold(&g_filler_lock);
  os_cond_wake_all(&g_filler_changed);
}

// Waits until `ready` holds: a few yields first, then asleep with `sleeps` raised.
template <typename Ready>
void wait_until(std::atomic<bool>* sleeps, Ready ready) {
  for (int spin = 0; spin < kSpins; ++spin) {
    if (ready()) return;
    std::this_thread::yield();
  }
  os_lock_guard hold(&g_filler_lock);
  sleeps->store(true);
  while (!ready()) os_cond_wait(&g_filler_changed, &g_filler_lock);
  sleeps->store(false);
}

void filler_main(void* raw) {
  auto* filler = static_cast<shred_filler*>(raw);
  for (;;) {
    // A full ring waits until half of it is free again: one wake-up per half ring, not one
    // per block.
    if (filler->made.load() - released(filler) >= kRingBlocks) {
      wait_until(&filler->filler_sleeps, [filler] {
        return filler->stop.load() || filler->made.load() - released(filler) <= kRingBlocks / 2;
      });
    }
    if (filler->stop.load()) return;
    const uint64_t block = filler->made.load();
    shred_fill_random(filler->ring + (block % kRingBlocks) * SHRED_FILL_BLOCK, SHRED_FILL_BLOCK);
    filler->made.store(block + 1);
    wake(filler->caller_sleeps);
  }
}

// The raw bytes of one block of a random name; the test build can make them known bytes.
void draw_name_bytes(uint8_t* block, uint64_t n) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (os_test_next_name_bytes(block, n)) return;
#endif
  shred_fill_random(block, n);  // a fallback block serves just the same
}

}  // namespace

shred_filler* shred_filler_start() {
  const uint32_t limit = os_processor_count();
  uint32_t count = g_fillers.load();
  do {
    if (count >= limit) return nullptr;
  } while (!g_fillers.compare_exchange_weak(count, count + 1));
  auto* filler = static_cast<shred_filler*>(std::malloc(sizeof(shred_filler)));
  uint8_t* ring = static_cast<uint8_t*>(std::malloc(size_t{kRingBlocks} * SHRED_FILL_BLOCK));
  if (filler != nullptr && ring != nullptr) {
    new (filler) shred_filler{nullptr, ring, {0}, {0}, {false}, {false}, {false}};
    filler->thread = os_thread_start(filler_main, filler);
    if (filler->thread != nullptr) return filler;
    filler->~shred_filler();
  }
  std::free(ring);
  std::free(filler);
  g_fillers.fetch_sub(1);
  return nullptr;
}

const uint8_t* shred_filler_next(shred_filler* filler) {
  const uint64_t block = filler->taken.load();
  // Taking block n releases block n - 1, which may let the filler go on.
  filler->taken.store(block + 1);
  if (filler->made.load() - released(filler) <= kRingBlocks / 2) wake(filler->filler_sleeps);
  wait_until(&filler->caller_sleeps, [filler, block] { return filler->made.load() > block; });
  return filler->ring + (block % kRingBlocks) * SHRED_FILL_BLOCK;
}

void shred_filler_stop(shred_filler* filler) {
  filler->stop.store(true);
  {
    os_lock_guard hold(&g_filler_lock);
    os_cond_wake_all(&g_filler_changed);
  }
  // The thread only fills and ends; nothing it waits for can take long.
  os_thread_wait(filler->thread, 0xFFFFFFFFu);
  os_thread_release(filler->thread);
  shred_wipe(filler->ring, size_t{kRingBlocks} * SHRED_FILL_BLOCK);
  std::free(filler->ring);
  filler->~shred_filler();
  std::free(filler);
  g_fillers.fetch_sub(1);
}

#if defined(KELVARIN_SHRED_TEST_SEAMS)
uint32_t shred_test_fillers() { return g_fillers.load(); }

void shred_test_fail_system_random(bool fail) {
  g_fail_system_random.store(fail, std::memory_order_relaxed);
}
#endif

const uint8_t* shred_next_chunk(shred_filler* filler, uint8_t* buffer, uint32_t length,
                                bool random) {
  if (!random) return buffer;
  if (filler != nullptr) return shred_filler_next(filler);
  shred_fill_random(buffer, length);
  return buffer;
}

void shred_wipe(void* memory, size_t length) {
  volatile uint8_t* v = static_cast<uint8_t*>(memory);
  for (size_t i = 0; i < length; ++i) v[i] = 0;
}

int32_t shred_fill_random(void* buffer, uint64_t length) {
  if (buffer == nullptr || length == 0) return 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (system_random(bytes, length)) return 0;
  // The library never seeds rand(): the fallback is the C library's unseeded sequence. It still
  // overwrites every byte, which is what a pass needs; callers are told through the -1.
  for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(std::rand() & 0xFF);
  return -1;
}

int32_t shred_random_alphanumeric(char* out, uint64_t length) {
  if (out == nullptr || length == 0) return -1;
  uint8_t block[kNameBlock];
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = length - done < kNameBlock ? length - done : kNameBlock;
    draw_name_bytes(block, n);
    // b mod 62 keeps every byte; a to h come up with 5/256, the rest with 4/256.
    for (uint64_t i = 0; i < n; ++i) out[done + i] = kCharset[block[i] % kCharsetSize];
    done += n;
  }
  out[length] = '\0';
  return 0;
}
