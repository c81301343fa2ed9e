// ChaCha20 keystream expansion (RFC 8439: 20 rounds, 32-bit block counter, 96-bit nonce) used by
// the POSIX random source. The caller supplies a fresh key and nonce per request; this unit only
// expands them, on the widest SIMD path the CPU offers, and wipes its own copies of the key.
#ifndef KELVARIN_SHRED_PLATFORM_CHACHA20_H
#define KELVARIN_SHRED_PLATFORM_CHACHA20_H

#include <cstddef>
#include <cstdint>

// Writes len bytes of the ChaCha20 keystream starting at block `counter` into out (not XORed with
// anything: the keystream itself is the random output). len may be any size, including not a
// multiple of 64; a trailing partial block is cut. Wipes the key/state arrays it makes on the
// stack; vector registers the compiler spills are left, as they reveal no more than out itself.
// The block counter wraps modulo 2^32, so one key must not be stretched past 256 GiB.
void chacha20_keystream(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                        uint8_t* out, size_t len);

// Zeroes n bytes through a volatile pointer, so the compiler cannot drop the stores as dead.
// p may be null when n is 0.
void chacha20_wipe(void* p, size_t n);

#if defined(KELVARIN_SHRED_TEST_SEAMS)

// One 64-byte ChaCha20 block (RFC 8439 section 2.3) for the given counter, computed by the scalar
// code alone: the reference the keystream paths are checked against.
void chacha20_block(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                    uint8_t out[64]);

// Same output as chacha20_keystream but never takes the AVX2 or AVX-512 path (SSE2 on x86-64,
// scalar elsewhere), so tests can compare the paths on a machine that has the wide ones.
void chacha20_keystream_portable(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                                 uint8_t* out, size_t len);

#endif  // KELVARIN_SHRED_TEST_SEAMS

#endif  // KELVARIN_SHRED_PLATFORM_CHACHA20_H
