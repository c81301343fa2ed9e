// ChaCha20 block function and keystream generator. The scalar code is the reference and also
// finishes tails; SSE2 (4 blocks per step), AVX2 (8) and AVX-512F (16), the latter two chosen
// once at run time, produce the same bytes for the bulk of a request. All paths share one state
// array whose counter word each path advances past the blocks it wrote.
#include "chacha20.h"

#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define CHACHA20_SSE2 1
// AVX2 needs GCC/Clang per-function targets so the rest of the file stays baseline x86-64.
#if defined(__GNUC__)
#include <immintrin.h>
#define CHACHA20_AVX2 1
// Safe on MinGW too although GCC does not realign the stack to 64 bytes there: its vector spills
// use unaligned moves (checked in the generated code at -O0 to -O3).
#define CHACHA20_AVX512 1
#endif
#endif

namespace {

inline uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void init_state(uint32_t s[16], const uint8_t key[32], const uint8_t nonce[12], uint32_t counter) {
  s[0] = 0x61707865;  // "expand 32-byte k"
  s[1] = 0x3320646e;
  s[2] = 0x79622d32;
  s[3] = 0x6b206574;
  for (size_t i = 0; i < 8; ++i) s[4 + i] = load32(key + 4 * i);
  s[12] = counter;
  for (size_t i = 0; i < 3; ++i) s[13 + i] = load32(nonce + 4 * i);
}

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b;
  d ^= a;
  d = rotl(d, 16);
  c += d;
  b ^= c;
  b = rotl(b, 12);
  a += b;
  d ^= a;
  d = rotl(d, 8);
  c += d;
  b ^= c;
  b = rotl(b, 7);
}

// Writes nblocks whole blocks starting at counter s[12] and advances it.
void blocks_scalar(uint32_t s[16], uint8_t* out, size_t nblocks) {
  uint32_t x[16];
  for (; nblocks != 0; --nblocks, out += 64, ++s[12]) {
    std::memcpy(x, s, sizeof x);
    for (int i = 0; i < 10; ++i) {
      quarter_round(x[0], x[4], x[8], x[12]);
      quarter_round(x[1], x[5], x[9], x[13]);
      quarter_round(x[2], x[6], x[10], x[14]);
      quarter_round(x[3], x[7], x[11], x[15]);
      quarter_round(x[0], x[5], x[10], x[15]);
      quarter_round(x[1], x[6], x[11], x[12]);
      quarter_round(x[2], x[7], x[8], x[13]);
      quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (size_t i = 0; i < 16; ++i) store32(out + 4 * i, x[i] + s[i]);
  }
  chacha20_wipe(x, sizeof x);
}

#ifdef CHACHA20_SSE2

template <int N>
inline __m128i rotl_sse2(__m128i v) {
  return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
}

// Swapping the 16-bit halves is one shuffle pair instead of two shifts and an or.
template <>
inline __m128i rotl_sse2<16>(__m128i v) {
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
}

inline void quarter_round_sse2(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b);
  d = rotl_sse2<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl_sse2<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b);
  d = rotl_sse2<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotl_sse2<7>(_mm_xor_si128(b, c));
}

inline __m128i broadcast_sse2(const uint32_t* s, int i) {
  return _mm_set1_epi32(static_cast<int>(s[i]));
}

// a..d hold one state word each for 4 blocks; writes those 4 words into each block's 64 bytes.
inline void emit_sse2(uint8_t* out, __m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
  const __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(ab_lo, cd_lo));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 64), _mm_unpackhi_epi64(ab_lo, cd_lo));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 128), _mm_unpacklo_epi64(ab_hi, cd_hi));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 192), _mm_unpackhi_epi64(ab_hi, cd_hi));
}

// Writes nsteps * 256 bytes (4 consecutive blocks per step) and advances s[12].
void blocks_sse2(uint32_t s[16], uint8_t* out, size_t nsteps) {
  const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
  for (; nsteps != 0; --nsteps, out += 256, s[12] += 4) {
    const __m128i ctr = _mm_add_epi32(broadcast_sse2(s, 12), lane);
    __m128i x0 = broadcast_sse2(s, 0), x1 = broadcast_sse2(s, 1), x2 = broadcast_sse2(s, 2),
            x3 = broadcast_sse2(s, 3), x4 = broadcast_sse2(s, 4), x5 = broadcast_sse2(s, 5),
            x6 = broadcast_sse2(s, 6), x7 = broadcast_sse2(s, 7), x8 = broadcast_sse2(s, 8),
            x9 = broadcast_sse2(s, 9), x10 = broadcast_sse2(s, 10), x11 = broadcast_sse2(s, 11),
            x12 = ctr, x13 = broadcast_sse2(s, 13), x14 = broadcast_sse2(s, 14),
            x15 = broadcast_sse2(s, 15);
    for (int i = 0; i < 10; ++i) {
      quarter_round_sse2(x0, x4, x8, x12);
      quarter_round_sse2(x1, x5, x9, x13);
      quarter_round_sse2(x2, x6, x10, x14);
      quarter_round_sse2(x3, x7, x11, x15);
      quarter_round_sse2(x0, x5, x10, x15);
      quarter_round_sse2(x1, x6, x11, x12);
      quarter_round_sse2(x2, x7, x8, x13);
      quarter_round_sse2(x3, x4, x9, x14);
    }
    emit_sse2(out, _mm_add_epi32(x0, broadcast_sse2(s, 0)), _mm_add_epi32(x1, broadcast_sse2(s, 1)),
              _mm_add_epi32(x2, broadcast_sse2(s, 2)), _mm_add_epi32(x3, broadcast_sse2(s, 3)));
    emit_sse2(out + 16, _mm_add_epi32(x4, broadcast_sse2(s, 4)),
              _mm_add_epi32(x5, broadcast_sse2(s, 5)), _mm_add_epi32(x6, broadcast_sse2(s, 6)),
              _mm_add_epi32(x7, broadcast_sse2(s, 7)));
    emit_sse2(out + 32, _mm_add_epi32(x8, broadcast_sse2(s, 8)),
              _mm_add_epi32(x9, broadcast_sse2(s, 9)), _mm_add_epi32(x10, broadcast_sse2(s, 10)),
              _mm_add_epi32(x11, broadcast_sse2(s, 11)));
    emit_sse2(out + 48, _mm_add_epi32(x12, ctr), _mm_add_epi32(x13, broadcast_sse2(s, 13)),
              _mm_add_epi32(x14, broadcast_sse2(s, 14)), _mm_add_epi32(x15, broadcast_sse2(s, 15)));
  }
}

#endif  // CHACHA20_SSE2

#ifdef CHACHA20_AVX2

#define CHACHA20_TARGET_AVX2 __attribute__((target("avx2")))

template <int N>
CHACHA20_TARGET_AVX2 inline __m256i rotl_avx2(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
}

template <>
CHACHA20_TARGET_AVX2 inline __m256i rotl_avx2<16>(__m256i v) {
  const __m256i rot16 = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
  return _mm256_shuffle_epi8(v, rot16);
}

template <>
CHACHA20_TARGET_AVX2 inline __m256i rotl_avx2<8>(__m256i v) {
  const __m256i rot8 = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
  return _mm256_shuffle_epi8(v, rot8);
}

CHACHA20_TARGET_AVX2 inline void quarter_round_avx2(__m256i& a, __m256i& b, __m256i& c,
                                                    __m256i& d) {
  a = _mm256_add_epi32(a, b);
  d = rotl_avx2<16>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rotl_avx2<12>(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b);
  d = rotl_avx2<8>(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rotl_avx2<7>(_mm256_xor_si256(b, c));
}

CHACHA20_TARGET_AVX2 inline __m256i broadcast_avx2(const uint32_t* s, int i) {
  return _mm256_set1_epi32(static_cast<int>(s[i]));
}

// In-lane 4x4 transpose: afterwards a..d each hold 4 consecutive words of one block in the low
// lane (blocks 0-3) and of the block 4 further on in the high lane (blocks 4-7).
CHACHA20_TARGET_AVX2 inline void transpose_avx2(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i ab_lo = _mm256_unpacklo_epi32(a, b), ab_hi = _mm256_unpackhi_epi32(a, b);
  const __m256i cd_lo = _mm256_unpacklo_epi32(c, d), cd_hi = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(ab_lo, cd_lo);
  b = _mm256_unpackhi_epi64(ab_lo, cd_lo);
  c = _mm256_unpacklo_epi64(ab_hi, cd_hi);
  d = _mm256_unpackhi_epi64(ab_hi, cd_hi);
}

// w0..w3 hold words 0-3, 4-7, 8-11, 12-15 of blocks i and i + 4 (low/high lane); out points at
// block i.
CHACHA20_TARGET_AVX2 inline void emit_avx2(uint8_t* out, __m256i w0, __m256i w1, __m256i w2,
                                           __m256i w3) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(w0, w1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                      _mm256_permute2x128_si256(w2, w3, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 256),
                      _mm256_permute2x128_si256(w0, w1, 0x31));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 288),
                      _mm256_permute2x128_si256(w2, w3, 0x31));
}

// Writes nsteps * 512 bytes (8 consecutive blocks per step) and advances s[12].
CHACHA20_TARGET_AVX2 void blocks_avx2(uint32_t s[16], uint8_t* out, size_t nsteps) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (; nsteps != 0; --nsteps, out += 512, s[12] += 8) {
    const __m256i ctr = _mm256_add_epi32(broadcast_avx2(s, 12), lane);
    __m256i x0 = broadcast_avx2(s, 0), x1 = broadcast_avx2(s, 1), x2 = broadcast_avx2(s, 2),
            x3 = broadcast_avx2(s, 3), x4 = broadcast_avx2(s, 4), x5 = broadcast_avx2(s, 5),
            x6 = broadcast_avx2(s, 6), x7 = broadcast_avx2(s, 7), x8 = broadcast_avx2(s, 8),
            x9 = broadcast_avx2(s, 9), x10 = broadcast_avx2(s, 10), x11 = broadcast_avx2(s, 11),
            x12 = ctr, x13 = broadcast_avx2(s, 13), x14 = broadcast_avx2(s, 14),
            x15 = broadcast_avx2(s, 15);
    for (int i = 0; i < 10; ++i) {
      quarter_round_avx2(x0, x4, x8, x12);
      quarter_round_avx2(x1, x5, x9, x13);
      quarter_round_avx2(x2, x6, x10, x14);
      quarter_round_avx2(x3, x7, x11, x15);
      quarter_round_avx2(x0, x5, x10, x15);
      quarter_round_avx2(x1, x6, x11, x12);
      quarter_round_avx2(x2, x7, x8, x13);
      quarter_round_avx2(x3, x4, x9, x14);
    }
    x0 = _mm256_add_epi32(x0, broadcast_avx2(s, 0));
    x1 = _mm256_add_epi32(x1, broadcast_avx2(s, 1));
    x2 = _mm256_add_epi32(x2, broadcast_avx2(s, 2));
    x3 = _mm256_add_epi32(x3, broadcast_avx2(s, 3));
    x4 = _mm256_add_epi32(x4, broadcast_avx2(s, 4));
    x5 = _mm256_add_epi32(x5, broadcast_avx2(s, 5));
    x6 = _mm256_add_epi32(x6, broadcast_avx2(s, 6));
    x7 = _mm256_add_epi32(x7, broadcast_avx2(s, 7));
    x8 = _mm256_add_epi32(x8, broadcast_avx2(s, 8));
    x9 = _mm256_add_epi32(x9, broadcast_avx2(s, 9));
    x10 = _mm256_add_epi32(x10, broadcast_avx2(s, 10));
    x11 = _mm256_add_epi32(x11, broadcast_avx2(s, 11));
    x12 = _mm256_add_epi32(x12, ctr);
    x13 = _mm256_add_epi32(x13, broadcast_avx2(s, 13));
    x14 = _mm256_add_epi32(x14, broadcast_avx2(s, 14));
    x15 = _mm256_add_epi32(x15, broadcast_avx2(s, 15));
    transpose_avx2(x0, x1, x2, x3);
    transpose_avx2(x4, x5, x6, x7);
    transpose_avx2(x8, x9, x10, x11);
    transpose_avx2(x12, x13, x14, x15);
    emit_avx2(out, x0, x4, x8, x12);
    emit_avx2(out + 64, x1, x5, x9, x13);
    emit_avx2(out + 128, x2, x6, x10, x14);
    emit_avx2(out + 192, x3, x7, x11, x15);
  }
}

bool have_avx2() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return have;
}

#endif  // CHACHA20_AVX2

#ifdef CHACHA20_AVX512

// GCC 12's AVX-512 intrinsics build their unused merge operand from a self-initialised variable,
// which -Wmaybe-uninitialized reports in every caller.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define CHACHA20_TARGET_AVX512 __attribute__((target("avx512f")))

CHACHA20_TARGET_AVX512 inline void quarter_round_avx512(__m512i& a, __m512i& b, __m512i& c,
                                                        __m512i& d) {
  a = _mm512_add_epi32(a, b);
  d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
  c = _mm512_add_epi32(c, d);
  b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
  a = _mm512_add_epi32(a, b);
  d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
  c = _mm512_add_epi32(c, d);
  b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

CHACHA20_TARGET_AVX512 inline __m512i broadcast_avx512(const uint32_t* s, int i) {
  return _mm512_set1_epi32(static_cast<int>(s[i]));
}

// In-lane 4x4 transpose: afterwards 128-bit lane L of a..d holds 4 consecutive words of block
// 4L, 4L+1, 4L+2, 4L+3 respectively.
CHACHA20_TARGET_AVX512 inline void transpose_avx512(__m512i& a, __m512i& b, __m512i& c,
                                                    __m512i& d) {
  const __m512i ab_lo = _mm512_unpacklo_epi32(a, b), ab_hi = _mm512_unpackhi_epi32(a, b);
  const __m512i cd_lo = _mm512_unpacklo_epi32(c, d), cd_hi = _mm512_unpackhi_epi32(c, d);
  a = _mm512_unpacklo_epi64(ab_lo, cd_lo);
  b = _mm512_unpackhi_epi64(ab_lo, cd_lo);
  c = _mm512_unpacklo_epi64(ab_hi, cd_hi);
  d = _mm512_unpackhi_epi64(ab_hi, cd_hi);
}

// w0..w3 hold words 0-3, 4-7, 8-11, 12-15 of blocks i, i+4, i+8, i+12 (lanes 0-3); transposing
// the 4x4 matrix of lanes yields those four blocks whole. out points at block i.
CHACHA20_TARGET_AVX512 inline void emit_avx512(uint8_t* out, __m512i w0, __m512i w1, __m512i w2,
                                               __m512i w3) {
  const __m512i t0 = _mm512_shuffle_i32x4(w0, w1, 0x44);  // w0.0 w0.1 w1.0 w1.1
  const __m512i t1 = _mm512_shuffle_i32x4(w0, w1, 0xEE);  // w0.2 w0.3 w1.2 w1.3
  const __m512i t2 = _mm512_shuffle_i32x4(w2, w3, 0x44);
  const __m512i t3 = _mm512_shuffle_i32x4(w2, w3, 0xEE);
  _mm512_storeu_si512(out, _mm512_shuffle_i32x4(t0, t2, 0x88));
  _mm512_storeu_si512(out + 256, _mm512_shuffle_i32x4(t0, t2, 0xDD));
  _mm512_storeu_si512(out + 512, _mm512_shuffle_i32x4(t1, t3, 0x88));
  _mm512_storeu_si512(out + 768, _mm512_shuffle_i32x4(t1, t3, 0xDD));
}

// Writes nsteps * 1024 bytes (16 consecutive blocks per step) and advances s[12].
CHACHA20_TARGET_AVX512 void blocks_avx512(uint32_t s[16], uint8_t* out, size_t nsteps) {
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (; nsteps != 0; --nsteps, out += 1024, s[12] += 16) {
    __m512i x0 = broadcast_avx512(s, 0), x1 = broadcast_avx512(s, 1), x2 = broadcast_avx512(s, 2),
            x3 = broadcast_avx512(s, 3), x4 = broadcast_avx512(s, 4), x5 = broadcast_avx512(s, 5),
            x6 = broadcast_avx512(s, 6), x7 = broadcast_avx512(s, 7), x8 = broadcast_avx512(s, 8),
            x9 = broadcast_avx512(s, 9), x10 = broadcast_avx512(s, 10),
            x11 = broadcast_avx512(s, 11), x12 = _mm512_add_epi32(broadcast_avx512(s, 12), lane),
            x13 = broadcast_avx512(s, 13), x14 = broadcast_avx512(s, 14),
            x15 = broadcast_avx512(s, 15);
    for (int i = 0; i < 10; ++i) {
      quarter_round_avx512(x0, x4, x8, x12);
      quarter_round_avx512(x1, x5, x9, x13);
      quarter_round_avx512(x2, x6, x10, x14);
      quarter_round_avx512(x3, x7, x11, x15);
      quarter_round_avx512(x0, x5, x10, x15);
      quarter_round_avx512(x1, x6, x11, x12);
      quarter_round_avx512(x2, x7, x8, x13);
      quarter_round_avx512(x3, x4, x9, x14);
    }
    x0 = _mm512_add_epi32(x0, broadcast_avx512(s, 0));
    x1 = _mm512_add_epi32(x1, broadcast_avx512(s, 1));
    x2 = _mm512_add_epi32(x2, broadcast_avx512(s, 2));
    x3 = _mm512_add_epi32(x3, broadcast_avx512(s, 3));
    x4 = _mm512_add_epi32(x4, broadcast_avx512(s, 4));
    x5 = _mm512_add_epi32(x5, broadcast_avx512(s, 5));
    x6 = _mm512_add_epi32(x6, broadcast_avx512(s, 6));
    x7 = _mm512_add_epi32(x7, broadcast_avx512(s, 7));
    x8 = _mm512_add_epi32(x8, broadcast_avx512(s, 8));
    x9 = _mm512_add_epi32(x9, broadcast_avx512(s, 9));
    x10 = _mm512_add_epi32(x10, broadcast_avx512(s, 10));
    x11 = _mm512_add_epi32(x11, broadcast_avx512(s, 11));
    x12 = _mm512_add_epi32(x12, _mm512_add_epi32(broadcast_avx512(s, 12), lane));
    x13 = _mm512_add_epi32(x13, broadcast_avx512(s, 13));
    x14 = _mm512_add_epi32(x14, broadcast_avx512(s, 14));
    x15 = _mm512_add_epi32(x15, broadcast_avx512(s, 15));
    transpose_avx512(x0, x1, x2, x3);
    transpose_avx512(x4, x5, x6, x7);
    transpose_avx512(x8, x9, x10, x11);
    transpose_avx512(x12, x13, x14, x15);
    emit_avx512(out, x0, x4, x8, x12);
    emit_avx512(out + 64, x1, x5, x9, x13);
    emit_avx512(out + 128, x2, x6, x10, x14);
    emit_avx512(out + 192, x3, x7, x11, x15);
  }
}

bool have_avx512() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return have;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // CHACHA20_AVX512

// Everything below the AVX2 step size: SSE2 for whole 4-block groups, scalar for the rest.
void keystream_portable(uint32_t s[16], uint8_t* out, size_t len) {
#ifdef CHACHA20_SSE2
  blocks_sse2(s, out, len / 256);
  out += len / 256 * 256;
  len %= 256;
#endif
  blocks_scalar(s, out, len / 64);
  out += len / 64 * 64;
  len %= 64;
  if (len != 0) {
    uint8_t last[64];
    blocks_scalar(s, last, 1);
    std::memcpy(out, last, len);
    chacha20_wipe(last, sizeof last);
  }
}

}  // namespace

void chacha20_keystream(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                        uint8_t* out, size_t len) {
  uint32_t s[16];
  init_state(s, key, nonce, counter);
#ifdef CHACHA20_AVX512
  if (have_avx512()) {
    blocks_avx512(s, out, len / 1024);
    out += len / 1024 * 1024;
    len %= 1024;
  }
#endif
#ifdef CHACHA20_AVX2
  if (have_avx2()) {
    blocks_avx2(s, out, len / 512);
    out += len / 512 * 512;
    len %= 512;
  }
#endif
  keystream_portable(s, out, len);
  chacha20_wipe(s, sizeof s);
}

void chacha20_wipe(void* p, size_t n) {
  // Volatile stores may not be dropped as dead, unlike a memset of a buffer about to go out of
  // scope.
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n-- != 0) *v++ = 0;
}

#if defined(KELVARIN_SHRED_TEST_SEAMS)

void chacha20_block(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                    uint8_t out[64]) {
  uint32_t s[16];
  init_state(s, key, nonce, counter);
  blocks_scalar(s, out, 1);
  chacha20_wipe(s, sizeof s);
}

void chacha20_keystream_portable(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter,
                                 uint8_t* out, size_t len) {
  uint32_t s[16];
  init_state(s, key, nonce, counter);
  keystream_portable(s, out, len);
  chacha20_wipe(s, sizeof s);
}

#endif  // KELVARIN_SHRED_TEST_SEAMS
