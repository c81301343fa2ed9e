// The directory walk, shared with the synchronous entry points and the job workers.
#ifndef KELVARIN_SHRED_SHRED_DIR_H
#define KELVARIN_SHRED_SHRED_DIR_H

#include <cstdint>

#include "shred_core.h"

// Destroys every file directly in `path` with the file engine (each running `passes` passes)
// and, when `recursive` is nonzero, walks every subdirectory the same way; removes each
// directory in which nothing failed. Never walks through or removes a link, never enters a
// mount point (the requested directory included), refuses the root and the working directory,
// and stops at a level that was moved away from where it was entered, which counts as a
// failure. Files are refused under the same path shapes as the engine's own. 0 on success; -1
// on failure, with the last-error text naming the walk's own failure or left as the last failed
// entry wrote it. A failed entry never stops the walk. Never resets the last-error text.
int32_t shred_dir_internal(const char* path, int32_t method, int32_t passes, int32_t recursive,
                           const shred_job_ctx* ctx);

// The same for a path resolved earlier (a job resolves at submission).
int32_t shred_dir_resolved(const char* path, const shred_target& target, int32_t method,
                           int32_t passes, int32_t recursive, const shred_job_ctx* ctx);

#endif  // KELVARIN_SHRED_SHRED_DIR_H
