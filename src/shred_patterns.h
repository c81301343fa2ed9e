// What each overwrite pass writes, and laying that into a buffer. Pure computation on constant
// tables: no state, no locks, no failure.
#ifndef KELVARIN_SHRED_SHRED_PATTERNS_H
#define KELVARIN_SHRED_SHRED_PATTERNS_H

#include <cstdint>

enum shred_pattern_kind : int32_t {
  SHRED_PATTERN_RANDOM = 0,  // fresh random bytes for every chunk written
  SHRED_PATTERN_BYTE = 1,    // fill_byte everywhere
  SHRED_PATTERN_TRIPLE = 2,  // sequence[0], sequence[1], sequence[2], repeated
};

// Fields a kind does not use are always 0, so equal passes compare equal byte for byte and an
// all-zero descriptor is the random pattern.
struct shred_pattern {
  int32_t kind;
  uint8_t fill_byte;
  uint8_t sequence[3];
};

// The pattern of pass `pass` (counted from 0) of `method`; defined for every pair of integers.
shred_pattern shred_get_pattern(int32_t method, int32_t pass);

// Fills `length` bytes of `buffer` from `pattern`, starting the sequence afresh at the buffer's
// first byte. Random and unknown kinds draw from the random source. Null or empty: no effect.
void shred_fill_pattern_buffer(const shred_pattern* pattern, uint8_t* buffer, uint64_t length);

// The catalogue's pass count of `method`: 3, 7 and 35 for the DoD and Gutmann methods, 0 for the
// custom method (its caller chooses a count), 1 for the quick method and every unknown number.
int32_t shred_catalogue_passes(int32_t method);

// The passes a run of `method` makes when no count is chosen for it: the catalogue's count, and
// one for the custom method, whose count only shred_file_custom chooses.
int32_t shred_passes_to_run(int32_t method);

#endif  // KELVARIN_SHRED_SHRED_PATTERNS_H
