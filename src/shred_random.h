// The random source behind random passes and the random names files take before deletion.
// Needs no set-up and keeps no state: usable before shred_init and from any thread.
#ifndef KELVARIN_SHRED_SHRED_RANDOM_H
#define KELVARIN_SHRED_SHRED_RANDOM_H

#include <cstddef>
#include <cstdint>

// Fills the buffer from the system's cryptographic generator. Returns 0 when it did (or when
// there was nothing to fill), -1 when the generator failed and the C library's rand() filled the
// buffer instead. Never leaves a byte unwritten. Writes no error text.
int32_t shred_fill_random(void* buffer, uint64_t length);

// Writes `length` characters drawn from [a-zA-Z0-9] and a NUL at out[length], so `out` holds
// length + 1 bytes. Returns -1, writing nothing, for a null output or a length of 0.
int32_t shred_random_alphanumeric(char* out, uint64_t length);

// A background filler: a thread that generates random blocks ahead of its caller into a small
// ring, so that a random pass waits neither for the generator nor the generator for the disk.
// Fillers are few: at most as many exist at once as the system has processors, whatever the
// number of jobs; a caller that cannot have one fills inline with shred_fill_random. Writes no
// error text.
struct shred_filler;

// The size of every block a filler hands out.
constexpr uint32_t SHRED_FILL_BLOCK = 65536;

// A filler of the caller's own, or null when none can be had now.
shred_filler* shred_filler_start();

// The next block of SHRED_FILL_BLOCK fresh random bytes, waiting for it if it is not made yet.
// It stays the caller's until the next call; the block before it goes back to the filler.
const uint8_t* shred_filler_next(shred_filler* filler);

// Ends the thread, wipes the ring and frees the filler.
void shred_filler_stop(shred_filler* filler);

// The data of a pass's next chunk of `length` bytes (at most SHRED_FILL_BLOCK): for a random
// pass a fresh block from `filler`, or without one `buffer` filled inline; for any other pass
// `buffer` as the caller laid it out.
const uint8_t* shred_next_chunk(shred_filler* filler, uint8_t* buffer, uint32_t length,
                                bool random);

// Clears memory in a way the compiler cannot drop as a dead store before its release.
void shred_wipe(void* memory, size_t length);

// A run's filler and its one-block buffer, for a run that writes random passes. On every way out
// (success, failure, cancel) the filler ends and its blocks are wiped, and so is the buffer.
class shred_background_fill {
 public:
  // `buffer` holds SHRED_FILL_BLOCK bytes and stays its owner's; only its contents are wiped.
  explicit shred_background_fill(uint8_t* buffer) : buffer_(buffer) {}
  ~shred_background_fill() { release(); }
  shred_background_fill(const shred_background_fill&) = delete;
  shred_background_fill& operator=(const shred_background_fill&) = delete;

  // Takes a filler if one can be had; otherwise the run fills inline.
  void start() { filler_ = shred_filler_start(); }
  shred_filler* filler() const { return filler_; }
  // Stops the filler and wipes; the buffer stays allocated for its owner.
  void release() {
    if (filler_ != nullptr) shred_filler_stop(filler_);
    filler_ = nullptr;
    if (buffer_ != nullptr) shred_wipe(buffer_, SHRED_FILL_BLOCK);
    buffer_ = nullptr;
  }

 private:
  uint8_t* buffer_;
  shred_filler* filler_ = nullptr;
};

#if defined(KELVARIN_SHRED_TEST_SEAMS)
// Test build only: while set, the system generator reports failure, so the rand() fallback runs.
void shred_test_fail_system_random(bool fail);

// Test build only: how many fillers exist now.
uint32_t shred_test_fillers();
#endif

#endif  // KELVARIN_SHRED_SHRED_RANDOM_H
