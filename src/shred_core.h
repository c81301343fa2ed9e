// The file engine, which destroys one file, and the job control record through which a run
// can be cancelled and report progress. Shared with the directory walk and the job workers.
#ifndef KELVARIN_SHRED_SHRED_CORE_H
#define KELVARIN_SHRED_SHRED_CORE_H

#include <atomic>
#include <cstdint>

// The refusal of a link, written by the engine for a file and by the walk for a requested
// directory; a macro so that the format stays checked at each use.
#define SHRED_REPARSE_MESSAGE \
  "Safety violation: refusing to shred reparse point/symlink directly: %s"

// The engine's buffer and its largest single write.
constexpr uint32_t SHRED_BUFFER_SIZE = 65536;

// Progress sink: job id, percent of the whole run (0 to 100), bytes written so far in the run,
// and the bytes the whole run writes. Called on the engine's thread after every written chunk.
typedef void (*shred_progress_fn)(int32_t job_id, int32_t percent, int64_t bytes_done,
                                  int64_t bytes_total);

// Built by the caller for one call; the engine only reads it and keeps no reference. A null
// record means a plain run: no cancel tests and no progress calls.
struct shred_job_ctx {
  const std::atomic<int32_t>* cancel_flag;  // nonzero means stop; null: cannot be cancelled
  int32_t job_id;                           // handed unchanged to every progress call
  int32_t reserved;                         // 0
  shred_progress_fn progress_cb;            // null: no progress calls
};

// True when the record's cancel flag is raised; false for a null record or flag. Read afresh
// at every call, without a lock.
bool shred_cancel_requested(const shred_job_ctx* ctx);

// Overwrites, truncates, renames and deletes one regular file. `passes` counts only for the
// custom method; every other method takes its count from the catalogue, and a count below 1 runs
// once. 0 on success (the statistics document then describes this run); -1 with the last-error
// text set on failure. Never resets the last-error text.
int32_t shred_file_internal(const char* path, int32_t method, int32_t passes,
                            const shred_job_ctx* ctx);

#endif  // KELVARIN_SHRED_SHRED_CORE_H
