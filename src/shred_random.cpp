// The random source: the system's cryptographic generator, and rand() where that generator
// fails. Every call stands alone; nothing is kept between calls and no lock is taken.
#include "shred_random.h"

#include <cstdlib>

#include "platform/platform.h"

#if defined(KELVARIN_SHRED_TEST_SEAMS)
#include <atomic>
#endif

namespace {

constexpr char kCharset[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr uint32_t kCharsetSize = sizeof kCharset - 1;  // 62
constexpr uint64_t kNameBlock = 128;

// The system generator takes a 32-bit count; larger requests are served in pieces.
constexpr uint64_t kLargestRequest = uint64_t{1} << 30;

#if defined(KELVARIN_SHRED_TEST_SEAMS)
std::atomic<bool> g_fail_system_random{false};
#endif

bool system_random(uint8_t* buffer, uint64_t length) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (g_fail_system_random.load(std::memory_order_relaxed)) return false;
#endif
  while (length > 0) {
    const uint64_t piece = length < kLargestRequest ? length : kLargestRequest;
    if (!os_random_bytes(buffer, static_cast<uint32_t>(piece))) return false;
    buffer += piece;
    length -= piece;
  }
  return true;
}

}  // namespace

#if defined(KELVARIN_SHRED_TEST_SEAMS)
void shred_test_fail_system_random(bool fail) {
  g_fail_system_random.store(fail, std::memory_order_relaxed);
}
#endif

int32_t shred_fill_random(void* buffer, uint64_t length) {
  if (buffer == nullptr || length == 0) return 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (system_random(bytes, length)) return 0;
  // The library never seeds rand(): the fallback is the C library's unseeded sequence. It still
  // overwrites every byte, which is what a pass needs; callers are told through the -1.
  for (uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(std::rand() & 0xFF);
  return -1;
}

int32_t shred_random_alphanumeric(char* out, uint64_t length) {
  if (out == nullptr || length == 0) return -1;
  uint8_t block[kNameBlock];
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = length - done < kNameBlock ? length - done : kNameBlock;
    shred_fill_random(block, n);  // a fallback block serves just the same
    // b mod 62 keeps every byte; a to h come up with 5/256, the rest with 4/256.
    for (uint64_t i = 0; i < n; ++i) out[done + i] = kCharset[block[i] % kCharsetSize];
    done += n;
  }
  out[length] = '\0';
  return 0;
}
