// The pass schedule of every overwrite method and the buffer fill that turns a pass's pattern
// into bytes. The file engine asks for a pattern at the start of each pass and fills its buffer
// once per fixed-pattern pass; random passes are refilled per chunk by the engine itself.
#include "shred_patterns.h"

#include <cstring>

#include "kelvarin_shred.h"
#include "shred_random.h"

namespace {

// The schedules below follow their published sources in order, without reordering:
//
// DoD 5220.22-M writes zeros, ones and then random data; its 7-pass form repeats the first
// three passes and ends with a second random pass. Gutmann's 35 passes are four random passes,
// the 0x55/0xAA pair, the three rotations of the 0x92 0x49 0x24 sequence, the sixteen bytes
// 0x00 to 0xFF in steps of 0x11, the three rotations again, the three rotations of
// 0x6D 0xB6 0xDB, and four random passes. Custom and unknown methods cycle 0x00, 0xFF, random.
// Any pass index a schedule does not list (negative, or past the method's count) is random.

constexpr uint8_t g_single_bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

constexpr shred_pattern random_pattern() {
  return shred_pattern{SHRED_PATTERN_RANDOM, 0, {0, 0, 0}};
}

constexpr shred_pattern byte_pattern(uint8_t value) {
  return shred_pattern{SHRED_PATTERN_BYTE, value, {0, 0, 0}};
}

constexpr shred_pattern triple_pattern(uint8_t a, uint8_t b, uint8_t c) {
  return shred_pattern{SHRED_PATTERN_TRIPLE, 0, {a, b, c}};
}

shred_pattern dod3_pattern(int32_t pass) {
  switch (pass) {
    case 0:
      return byte_pattern(0x00);
    case 1:
      return byte_pattern(0xFF);
    default:
      return random_pattern();
  }
}

shred_pattern dod7_pattern(int32_t pass) {
  switch (pass) {
    case 0:
    case 3:
      return byte_pattern(0x00);
    case 1:
    case 4:
      return byte_pattern(0xFF);
    default:
      return random_pattern();
  }
}

shred_pattern gutmann_pattern(int32_t pass) {
  if (pass >= 9 && pass <= 24) return byte_pattern(g_single_bytes[pass - 9]);
  switch (pass) {
    case 4:
      return byte_pattern(0x55);
    case 5:
      return byte_pattern(0xAA);
    case 6:
    case 25:
      return triple_pattern(0x92, 0x49, 0x24);
    case 7:
    case 26:
      return triple_pattern(0x49, 0x24, 0x92);
    case 8:
    case 27:
      return triple_pattern(0x24, 0x92, 0x49);
    case 28:
      return triple_pattern(0x6D, 0xB6, 0xDB);
    case 29:
      return triple_pattern(0xB6, 0xDB, 0x6D);
    case 30:
      return triple_pattern(0xDB, 0x6D, 0xB6);
    default:
      return random_pattern();  // 0 to 3, 31 to 34, and everything outside the sequence
  }
}

// C++ remainder truncates toward zero, so a negative pass index gives a negative r: random.
shred_pattern modulo3_pattern(int32_t pass) {
  switch (pass % 3) {
    case 0:
      return byte_pattern(0x00);
    case 1:
      return byte_pattern(0xFF);
    default:
      return random_pattern();
  }
}

}  // namespace

shred_pattern shred_get_pattern(int32_t method, int32_t pass) {
  switch (method) {
    case SHRED_METHOD_QUICK:
      return random_pattern();
    case SHRED_METHOD_DOD_3PASS:
      return dod3_pattern(pass);
    case SHRED_METHOD_DOD_7PASS:
      return dod7_pattern(pass);
    case SHRED_METHOD_GUTMANN:
      return gutmann_pattern(pass);
    default:
      return modulo3_pattern(pass);
  }
}

void shred_fill_pattern_buffer(const shred_pattern* pattern, uint8_t* buffer, uint64_t length) {
  if (buffer == nullptr || length == 0 || pattern == nullptr) return;
  switch (pattern->kind) {
    case SHRED_PATTERN_BYTE:
      std::memset(buffer, pattern->fill_byte, length);
      return;
    case SHRED_PATTERN_TRIPLE: {
      // Lay the first group, then double the filled prefix; every copy keeps the phase because
      // the copied prefix always starts at sequence[0].
      const uint64_t first = length < 3 ? length : 3;
      std::memcpy(buffer, pattern->sequence, first);
      uint64_t filled = first;
      while (filled < length) {
        uint64_t step = (filled / 3) * 3;
        if (step > length - filled) step = length - filled;
        std::memcpy(buffer + filled, buffer, step);
        filled += step;
      }
      return;
    }
    default:
      shred_fill_random(buffer, length);
      return;
  }
}

namespace {

// Pass counts of methods 1 to 4. Custom's 0 is not a count: its caller chooses one.
constexpr int32_t kMethodPasses[4] = {3, 7, 35, 0};

}  // namespace

int32_t shred_catalogue_passes(int32_t method) {
  // One unsigned comparison sends 0, negatives and everything above 4 to the default of 1.
  const uint32_t index = static_cast<uint32_t>(method) - 1u;
  return index > 3u ? 1 : kMethodPasses[index];
}

int32_t shred_passes_to_run(int32_t method) {
  const int32_t passes = shred_catalogue_passes(method);
  return passes < 1 ? 1 : passes;
}
