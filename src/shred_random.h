// The random source behind random passes and the random names files take before deletion.
// Needs no set-up and keeps no state: usable before shred_init and from any thread.
#ifndef KELVARIN_SHRED_SHRED_RANDOM_H
#define KELVARIN_SHRED_SHRED_RANDOM_H

#include <cstdint>

// Fills the buffer from the system's cryptographic generator. Returns 0 when it did (or when
// there was nothing to fill), -1 when the generator failed and the C library's rand() filled the
// buffer instead. Never leaves a byte unwritten. Writes no error text.
int32_t shred_fill_random(void* buffer, uint64_t length);

// Writes `length` characters drawn from [a-zA-Z0-9] and a NUL at out[length], so `out` holds
// length + 1 bytes. Returns -1, writing nothing, for a null output or a length of 0.
int32_t shred_random_alphanumeric(char* out, uint64_t length);

#if defined(KELVARIN_SHRED_TEST_SEAMS)
// Test build only: while set, the system generator reports failure, so the rand() fallback runs.
void shred_test_fail_system_random(bool fail);
#endif

#endif  // KELVARIN_SHRED_SHRED_RANDOM_H
