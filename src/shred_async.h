// The job table's set-up and shutdown, called by the library's lifecycle. The job functions
// themselves are exported through the public header.
#ifndef KELVARIN_SHRED_SHRED_ASYNC_H
#define KELVARIN_SHRED_SHRED_ASYNC_H

#include <cstdint>

// Empties the table and starts ids again at 1. A slot whose worker still runs (one that
// outlived a shutdown) is left to that worker. Writes no error text.
void shred_async_init();

// Raises the cancel flag of every job, waits at most 2000 ms for each worker, releases it and
// empties its slot. Writes no error text.
void shred_async_cleanup();

#if defined(KELVARIN_SHRED_TEST_SEAMS)
// Test build only: sets the id the next claimed slot receives, to reach the wrap at 2^31 - 1.
void shred_test_set_next_job_id(int32_t id);
#endif

#endif  // KELVARIN_SHRED_SHRED_ASYNC_H
