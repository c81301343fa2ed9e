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

#endif  // KELVARIN_SHRED_TEST_SEAMS

#endif  // KELVARIN_SHRED_PLATFORM_TEST_SEAMS_H
