// The free-space wipe: fills the free space of a file system with a method's passes, then
// removes everything it made. Shared with the entry points and the job workers.
#ifndef KELVARIN_SHRED_SHRED_FREE_SPACE_H
#define KELVARIN_SHRED_SHRED_FREE_SPACE_H

#include <cstdint>

#include "shred_core.h"

// The prefix of the one directory a wipe creates; random characters follow it.
#define SHRED_FILL_PREFIX "__shred_fill_"

// Fills the free space of the file system that holds the directory `path`, resolved earlier into
// `target`: in a new directory of its own inside it, files of at most 1 GiB are written with the
// first pass until the file system is full, each later pass rewrites them from their start, each
// file flushed at the end of each pass; then all of them and the directory are removed, on every
// way out. 0 on success (the statistics document then describes the wipe); -1 with the
// last-error text set otherwise. Never resets the last-error text.
int32_t shred_free_space_resolved(const char* path, const shred_target& target, int32_t method,
                                  int32_t passes, const shred_job_ctx* ctx);

#endif  // KELVARIN_SHRED_SHRED_FREE_SPACE_H
