// Jobs: a fixed table of 128 slots, one worker thread per job, the progress sink, the queries,
// cancellation and shutdown. Every field of the table is guarded by g_async_cs except what a
// running worker reads without it (its parameters and path, written before it started, and the
// atomic cancel flag).
#include "shred_async.h"

#include <atomic>
#include <cstring>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_core.h"
#include "shred_dir.h"
#include "shred_free_space.h"
#include "shred_patterns.h"
#include "shred_report.h"

namespace {

constexpr int32_t SHRED_MAX_JOBS = 128;
constexpr size_t kJobPathSize = 2048;
constexpr uint32_t kShutdownWaitMs = 2000;

enum job_kind : int32_t { kFileJob = 0, kDirectoryJob = 1, kFreeSpaceJob = 2 };

struct shred_job {
  int32_t job_id;  // the job that holds or last held the slot; 0 if never used
  int32_t active;  // 1 from the claim until shutdown or set-up releases the slot
  int32_t kind;  // a job_kind
  int32_t recursive;
  int32_t method;
  int32_t passes;
  char path[kJobPathSize];  // as the caller spelled it, for messages
  // What the path named at submission: the job acts on that, whatever the caller does to its
  // working directory afterwards. The worker owns the held directory once it runs.
  shred_target target;
  int32_t progress;
  int32_t status;
  std::atomic<int32_t> cancel_requested;
  os_thread* thread;
  // 1 from the claim until the worker has made its last access to the slot. A slot whose worker
  // has not got that far (one that outlived shutdown's wait) is never claimed or cleared.
  int32_t worker_alive;
};

os_lock g_async_cs = OS_LOCK_INIT;
shred_job g_jobs[SHRED_MAX_JOBS];
int32_t g_next_job_id = 1;

// Empties a slot; the caller holds the lock and has released any thread handle.
void clear_slot(shred_job& job) {
  job.job_id = 0;
  job.active = 0;
  job.kind = kFileJob;
  job.recursive = 0;
  job.method = 0;
  job.passes = 0;
  std::memset(job.path, 0, sizeof job.path);
  job.target = shred_target{};
  job.progress = 0;
  job.status = SHRED_JOB_RUNNING;
  job.cancel_requested.store(0, std::memory_order_relaxed);
  job.thread = nullptr;
  job.worker_alive = 0;
}

// The active slot holding `id`, or null. The caller holds the lock.
shred_job* find_job(int32_t id) {
  for (shred_job& job : g_jobs) {
    if (job.active != 0 && job.job_id == id) return &job;
  }
  return nullptr;
}

bool id_in_use(int32_t id) {
  for (const shred_job& job : g_jobs) {
    if (job.job_id == id && (job.active != 0 || job.worker_alive != 0)) return true;
  }
  return false;
}

// Hands out the next id: after 2^31 - 1 it wraps to 1, and it skips ids that a slot still
// carries for a job or a running worker, so that the sink and the queries never confuse two
// jobs. The caller holds the lock.
int32_t draw_job_id() {
  for (;;) {
    const int32_t id = g_next_job_id;
    g_next_job_id = id == INT32_MAX ? 1 : id + 1;
    if (!id_in_use(id)) return id;
  }
}

void async_progress_callback(int32_t job_id, int32_t percent, int64_t, int64_t) {
  os_lock_guard hold(&g_async_cs);
  shred_job* job = find_job(job_id);
  if (job != nullptr) job->progress = percent;
}

void async_worker_proc(void* raw) {
  shred_job& job = *static_cast<shred_job*>(raw);
  // Written before this thread existed, and never rewritten while worker_alive is set.
  const int32_t id = job.job_id;
  const shred_job_ctx ctx{&job.cancel_requested, id, 0, async_progress_callback};
  os_directory parent(job.target.parent);
  int32_t result = -1;
  switch (job.kind) {
    case kDirectoryJob:
      result =
          shred_dir_resolved(job.path, job.target, job.method, job.passes, job.recursive, &ctx);
      break;
    case kFreeSpaceJob:
      result = shred_free_space_resolved(job.path, job.target, job.method, job.passes, &ctx);
      break;
    default:
      result = shred_file_resolved(job.path, job.target, job.method, job.passes, &ctx);
      break;
  }
  parent.close();

  os_lock_guard hold(&g_async_cs);
  if (job.job_id == id) {
    // A cancel request outweighs the result, even when the run finished.
    if (job.cancel_requested.load(std::memory_order_relaxed) != 0 || result != 0) {
      job.status = SHRED_JOB_FAILED;
    } else {
      job.progress = 100;
      job.status = SHRED_JOB_SUCCEEDED;
    }
  }
  job.worker_alive = 0;  // the last touch of the slot
}

int32_t submit(const char* path, int32_t method, job_kind kind, int32_t recursive) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error(kind != kFileJob ? "Invalid directory path: NULL or empty"
                                     : "Invalid file path: NULL or empty");
    return -1;
  }
  const size_t length = std::strlen(path);
  if (length >= kJobPathSize) {
    // A job never runs on a shortened path.
    shred_set_error("Path too long for a job: %llu bytes (at most %llu)",
                    static_cast<unsigned long long>(length),
                    static_cast<unsigned long long>(kJobPathSize - 1));
    return -1;
  }

  // Resolved before the lock is taken: it costs system calls, and the lock holds up every job.
  shred_target target{};
  shred_resolve(path, &target);
  os_directory parent(target.parent);

  bool spawned = false;
  bool full = true;
  int32_t id = -1;
  {
    os_lock_guard hold(&g_async_cs);
    for (shred_job& job : g_jobs) {
      const bool ended = job.active == 0 || job.status != SHRED_JOB_RUNNING;
      if (!ended || job.worker_alive != 0) continue;
      full = false;
      if (job.thread != nullptr) os_thread_release(job.thread);  // its worker no longer runs
      clear_slot(job);
      job.job_id = draw_job_id();
      job.active = 1;
      job.kind = kind;
      job.recursive = kind == kDirectoryJob ? recursive : 0;
      job.method = method;
      job.passes = shred_passes_to_run(method);
      std::memcpy(job.path, path, length + 1);
      job.target = target;
      job.worker_alive = 1;
      job.thread = os_thread_start(async_worker_proc, &job);
      if (job.thread != nullptr) {
        parent.release();  // the worker's now
        spawned = true;
        id = job.job_id;
      } else {
        job.target = shred_target{};
        job.active = 0;  // the id stays used
        job.worker_alive = 0;
      }
      break;
    }
  }
  // Messages are written only after the job-table lock is released.
  if (full) {
    shred_set_error("Async job queue full (max %d concurrent jobs)", SHRED_MAX_JOBS);
    return -1;
  }
  if (!spawned) {
    shred_set_error("Failed to spawn async worker thread");
    return -1;
  }
  return id;
}

}  // namespace

#if defined(KELVARIN_SHRED_TEST_SEAMS)
void shred_test_set_next_job_id(int32_t id) {
  os_lock_guard hold(&g_async_cs);
  g_next_job_id = id;
}
#endif

void shred_async_init() {
  os_lock_guard hold(&g_async_cs);
  for (shred_job& job : g_jobs) {
    if (job.worker_alive != 0) {
      job.active = 0;  // the running worker keeps its slot; it is no job of the new table
      continue;
    }
    if (job.thread != nullptr) os_thread_release(job.thread);
    clear_slot(job);
  }
  g_next_job_id = 1;
}

void shred_async_cleanup() {
  {
    os_lock_guard hold(&g_async_cs);
    for (shred_job& job : g_jobs) {
      if (job.active != 0) job.cancel_requested.store(1, std::memory_order_relaxed);
    }
  }
  // The waits run without the lock: a worker takes it for every progress report and for its
  // final status, so waiting while holding it would hold every worker up for the whole wait.
  for (shred_job& job : g_jobs) {
    os_thread* thread = nullptr;
    {
      os_lock_guard hold(&g_async_cs);
      if (job.active == 0) continue;
      thread = job.thread;
      job.thread = nullptr;
    }
    if (thread != nullptr) {
      os_thread_wait(thread, kShutdownWaitMs);
      os_thread_release(thread);
    }
    os_lock_guard hold(&g_async_cs);
    job.active = 0;
  }
}

extern "C" int32_t shred_file_async(const char* path, shred_method method) noexcept {
  return submit(path, method, kFileJob, 0);
}

extern "C" int32_t shred_directory_async(const char* path, shred_method method,
                                         int32_t recursive) noexcept {
  return submit(path, method, kDirectoryJob, recursive);
}

extern "C" int32_t shred_free_space_async(const char* directory, shred_method method) noexcept {
  return submit(directory, method, kFreeSpaceJob, 0);
}

extern "C" int32_t shred_progress(int32_t job_id) noexcept {
  os_lock_guard hold(&g_async_cs);
  const shred_job* job = find_job(job_id);
  return job != nullptr ? job->progress : -1;
}

extern "C" int32_t shred_is_complete(int32_t job_id) noexcept {
  os_lock_guard hold(&g_async_cs);
  const shred_job* job = find_job(job_id);
  return job != nullptr ? job->status : -1;
}

extern "C" int32_t shred_cancel(int32_t job_id) noexcept {
  os_lock_guard hold(&g_async_cs);
  shred_job* job = find_job(job_id);
  if (job == nullptr) return -1;
  job->cancel_requested.store(1, std::memory_order_relaxed);
  return 0;
}
