// Switches that exist only in the static test build (KELVARIN_SHRED_TEST_SEAMS): they let tests
// hold the library in states that real devices reach only by chance. The shipped library has
// none of them.
#ifndef KELVARIN_SHRED_PLATFORM_TEST_SEAMS_H
#define KELVARIN_SHRED_PLATFORM_TEST_SEAMS_H

#if defined(KELVARIN_SHRED_TEST_SEAMS)

#include <cstdint>

// While held, every file write waits at its start until released; a permit lets one write pass.
void os_test_hold_writes(bool hold);
void os_test_permit_writes(uint32_t count);

// How many writes are waiting at the gate now.
uint32_t os_test_writes_waiting();

// Called by os_write before each write.
void os_test_write_gate();

// While nonzero, every flush fails with this error number instead of reaching the device, as a
// failing device would make it fail.
void os_test_fail_flushes(uint32_t error);
uint32_t os_test_flush_failure();

// While set (zero or more), the writes of the process may make files grow by only this many more
// bytes, as a disk with that much free space would: the write that would grow a file past it
// puts out what fits and then fails as on a full disk. Rewriting bytes a file already has costs
// nothing. A negative count switches the limit off. Lets a free-space wipe run on a disk that it
// must not fill.
void os_test_disk_full_after(int64_t bytes);
bool os_test_disk_limited();

// Called by os_write with the file's position and size: how many of `length` bytes may go out.
uint32_t os_test_disk_room(int64_t position, int64_t size, uint32_t length);

// While set, random names take their raw bytes from a copy of `bytes` instead of the generator:
// in order, continuing from one name to the next, and from the start again after the last. A
// test then knows every name the engine will try. A null pointer or a length of 0 restores the
// generator. At most the first 1024 bytes are kept.
void os_test_force_name_bytes(const uint8_t* bytes, uint32_t length);

// Fills `out` with the next `length` forced bytes and returns true, or returns false when none
// are forced. Called by the name generator for each block it draws.
bool os_test_next_name_bytes(uint8_t* out, uint64_t length);

// How many name bytes were taken from the forced bytes since they were last set.
uint64_t os_test_name_bytes_used();

#endif  // KELVARIN_SHRED_TEST_SEAMS

#endif  // KELVARIN_SHRED_PLATFORM_TEST_SEAMS_H
