// The file engine, which destroys one file, and the job control record through which a run
// can be cancelled and report progress. Shared with the directory walk and the job workers.
#ifndef KELVARIN_SHRED_SHRED_CORE_H
#define KELVARIN_SHRED_SHRED_CORE_H

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/platform.h"

// The refusal of a link, written by the engine for a file and by the walk for a requested
// directory; a macro so that the format stays checked at each use.
#define SHRED_REPARSE_MESSAGE \
  "Safety violation: refusing to shred reparse point/symlink directly: %s"

// The refusal of a mount point: a bind-mounted file for the engine, a mounted directory inside a
// tree for the walk.
#define SHRED_MOUNT_POINT_MESSAGE "Safety violation: refusing to shred a mount point: %s"

// The engine's buffer and its largest single write.
constexpr uint32_t SHRED_BUFFER_SIZE = 65536;

// Writeback of a pass is started every this many bytes, so that the device works while the next
// chunks are prepared; the one flush at the end of the pass still decides when the pass is done.
constexpr int64_t SHRED_WRITEBACK_WINDOW = int64_t{4} << 20;

// A chunk buffer from malloc (never an exception across the C ABI), freed with free.
struct shred_buffer_release {
  void operator()(uint8_t* p) const { std::free(p); }
};
using shred_buffer = std::unique_ptr<uint8_t, shred_buffer_release>;

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

// What a caller's path names, resolved once: the directory that holds it, held open, and its last
// component. Every later step acts relative to the held directory, so renaming or swapping any
// directory on the way afterwards changes nothing about what the run acts on.
// Plain data, so that a job slot can carry it: whoever resolved it owns `parent` and closes it
// (wrap it in an os_directory).
struct shred_target {
  os_dir_handle* parent;   // null when the directory part could not be opened
  uint32_t parent_error;   // why not
  char name[OS_NAME_MAX];  // empty when the path has no last component (a root or a drive)
  bool trailing_separator;
  bool fits;      // false when a part of the path was too long to hold
  bool have_cwd;  // the working directory's id when the path was resolved
  os_file_id cwd;
};

// Resolves `path` into `target`. Never fails: what could not be resolved (a null or empty path
// included) is recorded in the target and reported when a run uses it. Writes no error text.
void shred_resolve(const char* path, shred_target* target);

// The refusals that depend on the spelling alone: the literal roots and the working directory,
// drives, share paths, and a last component of "." or "..". 0 when the path may go on; -1 with
// the message set otherwise. `directory` selects the walk's messages over the engine's.
int32_t shred_check_spelling(const char* path, bool directory);

// Refuses a directory that is the root of the file system or the working directory at
// resolution time. 0 when it may be walked; -1 with the message set otherwise.
int32_t shred_check_not_root_or_cwd(const os_object_info& info, const shred_target& target,
                                    const char* path);

// Overwrites, truncates, renames and deletes one regular file, running exactly `passes` passes
// (at least 1; the entry points decide the count). 0 on success (the statistics document then
// describes this run); -1 with the last-error text set on failure. Never resets the last-error
// text.
int32_t shred_file_internal(const char* path, int32_t method, int32_t passes,
                            const shred_job_ctx* ctx);

// The same for a path resolved earlier (a job resolves at submission).
int32_t shred_file_resolved(const char* path, const shred_target& target, int32_t method,
                            int32_t passes, const shred_job_ctx* ctx);

// The same for the entry `name` of a held directory, `path` naming it in messages. The walk's
// way in: nothing is looked up by path.
int32_t shred_file_at(os_dir_handle* dir, const char* name, const char* path, int32_t method,
                      int32_t passes, const shred_job_ctx* ctx);

#endif  // KELVARIN_SHRED_SHRED_CORE_H
