// POSIX threads, locks, time and the random source: the parts of the platform layer that touch
// no file. The random source expands a fresh kernel key with ChaCha20 for every request.
#include "platform/chacha20.h"
#include "platform/posix/internal.h"

namespace {

// Milliseconds between 1601-01-01 and 1970-01-01, so both systems count from the same epoch.
constexpr int64_t kUnixEpochInWindowsMs = 11644473600000LL;

// Reads exactly `length` bytes from getrandom(2); partial results and signals are looped over.
bool kernel_random(uint8_t* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = getrandom(out + done, length - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}
}  // namespace

void os_lock_acquire(os_lock* lock) { pthread_mutex_lock(&lock->mutex); }

void os_lock_release(os_lock* lock) { pthread_mutex_unlock(&lock->mutex); }

void os_cond_wait(os_cond* cond, os_lock* lock) { pthread_cond_wait(&cond->cond, &lock->mutex); }

void os_cond_wake_all(os_cond* cond) { pthread_cond_broadcast(&cond->cond); }

uint32_t os_processor_count() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : static_cast<uint32_t>(count);
}

int64_t os_time_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + kUnixEpochInWindowsMs;
}

// getrandom(2) alone runs at about a third of a disk's write rate for 64 KiB requests, so each
// request is instead a ChaCha20 keystream under a fresh kernel key and nonce. Nothing survives
// the call: there is no generator state to share between threads or to duplicate across fork.
bool os_random_bytes(void* buffer, uint32_t length) {
  uint8_t seed[44];  // 32-byte key, then 12-byte nonce
  if (!kernel_random(seed, sizeof seed)) {
    chacha20_wipe(seed, sizeof seed);
    return false;
  }
  chacha20_keystream(seed, seed + 32, 0, static_cast<uint8_t*>(buffer), length);
  chacha20_wipe(seed, sizeof seed);
  return true;
}

// A thread's record is shared by the thread and its owner: whichever lets go of it last frees it,
// so that a thread that outlives its owner's wait never touches freed memory.
struct os_thread {
  pthread_t id;
  pthread_mutex_t mutex;
  pthread_cond_t ended_signal;  // on CLOCK_MONOTONIC, so a clock change cannot stretch a wait
  void (*entry)(void*);
  void* arg;
  bool ended;
  bool joined;
  int holders;  // 2 while both the thread and the owner hold the record
};

namespace {

void let_go(os_thread* thread) {
  pthread_mutex_lock(&thread->mutex);
  const bool last = --thread->holders == 0;
  pthread_mutex_unlock(&thread->mutex);
  if (!last) return;
  pthread_cond_destroy(&thread->ended_signal);
  pthread_mutex_destroy(&thread->mutex);
  std::free(thread);
}

void* thread_trampoline(void* raw) {
  auto* thread = static_cast<os_thread*>(raw);
  thread->entry(thread->arg);
  pthread_mutex_lock(&thread->mutex);
  thread->ended = true;
  pthread_cond_broadcast(&thread->ended_signal);
  pthread_mutex_unlock(&thread->mutex);
  let_go(thread);
  return nullptr;
}

}  // namespace

os_thread* os_thread_start(void (*entry)(void* arg), void* arg) {
  auto* thread = static_cast<os_thread*>(std::malloc(sizeof(os_thread)));
  if (thread == nullptr) return nullptr;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&thread->ended_signal, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&thread->mutex, nullptr);
  thread->entry = entry;
  thread->arg = arg;
  thread->ended = false;
  thread->joined = false;
  thread->holders = 2;
  if (pthread_create(&thread->id, nullptr, thread_trampoline, thread) != 0) {
    pthread_cond_destroy(&thread->ended_signal);
    pthread_mutex_destroy(&thread->mutex);
    std::free(thread);
    return nullptr;
  }
  return thread;
}

bool os_thread_wait(os_thread* thread, uint32_t timeout_ms) {
  if (thread->joined) return true;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&thread->mutex);
  int rc = 0;
  while (!thread->ended && rc != ETIMEDOUT) {
    rc = pthread_cond_timedwait(&thread->ended_signal, &thread->mutex, &deadline);
  }
  const bool ended = thread->ended;
  pthread_mutex_unlock(&thread->mutex);
  if (!ended) return false;
  // The thread has left its entry and is on its way out: the join is immediate.
  pthread_join(thread->id, nullptr);
  thread->joined = true;
  return true;
}

void os_thread_release(os_thread* thread) {
  if (!thread->joined) pthread_detach(thread->id);
  let_go(thread);
}
