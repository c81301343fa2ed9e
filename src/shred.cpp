// The library's frame: the last-error text and the statistics document that every other module
// reports through, and the method catalogue. Both texts are process-wide (not per thread); the
// exported readers hand out a copy made for the calling thread.
#include "shred.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_async.h"
#include "shred_core.h"
#include "shred_dir.h"
#include "shred_free_space.h"

namespace {

constexpr size_t kLastErrorSize = 1024;
constexpr size_t kStatsJsonSize = 512;

constexpr char kNoError[] = "No error";
constexpr char kStatsFormat[] =
    "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
    "\"duration_ms\":%lld}";
constexpr char kFreeSpaceStatsFormat[] =
    "{\"files_shredded\":0,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
    "\"duration_ms\":%lld,\"free_space_wiped\":%lld,\"free_space_unreached\":%lld}";

// Guards both texts.
os_lock g_global_cs = OS_LOCK_INIT;
char g_last_error[kLastErrorSize] = "No error";
char g_stats_json_buf[kStatsJsonSize] =
    "{\"files_shredded\":0,\"bytes_overwritten\":0,\"passes_completed\":0,\"duration_ms\":0}";

// Pass counts of methods 1 to 4. Custom's 0 is not a count: its caller chooses one.
constexpr int32_t kMethodPasses[4] = {3, 7, 35, 0};

}  // namespace

int64_t shred_get_time_ms() { return os_time_ms(); }

void shred_set_error(const char* format, ...) {
  // Formatted outside the lock, so the lock is held only for the copy.
  char message[kLastErrorSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  os_lock_guard hold(&g_global_cs);
  std::memcpy(g_last_error, message, std::strlen(message) + 1);
}

void shred_clear_error() {
  os_lock_guard hold(&g_global_cs);
  std::memcpy(g_last_error, kNoError, sizeof kNoError);
}

void shred_record_stats(int64_t files_shredded, int64_t bytes_overwritten, int64_t passes_completed,
                        int64_t duration_ms) {
  os_lock_guard hold(&g_global_cs);
  std::snprintf(g_stats_json_buf, sizeof g_stats_json_buf, kStatsFormat,
                static_cast<long long>(files_shredded), static_cast<long long>(bytes_overwritten),
                static_cast<long long>(passes_completed), static_cast<long long>(duration_ms));
}

void shred_record_free_space_stats(int64_t bytes_overwritten, int64_t passes_completed,
                                   int64_t duration_ms, int64_t wiped_bytes,
                                   int64_t unreached_bytes) {
  os_lock_guard hold(&g_global_cs);
  std::snprintf(g_stats_json_buf, sizeof g_stats_json_buf, kFreeSpaceStatsFormat,
                static_cast<long long>(bytes_overwritten), static_cast<long long>(passes_completed),
                static_cast<long long>(duration_ms), static_cast<long long>(wiped_bytes),
                static_cast<long long>(unreached_bytes));
}

// The readers hand out a copy made under the lock into a buffer of the calling thread, so a text
// is never seen half-rewritten by another thread. Each thread's copy stays valid until that
// thread reads the same text again.
extern "C" const char* shred_last_error(void) noexcept {
  static thread_local char copy[kLastErrorSize];
  os_lock_guard hold(&g_global_cs);
  std::memcpy(copy, g_last_error, std::strlen(g_last_error) + 1);
  return copy;
}

extern "C" const char* shred_stats_json(void) noexcept {
  static thread_local char copy[kStatsJsonSize];
  os_lock_guard hold(&g_global_cs);
  std::memcpy(copy, g_stats_json_buf, std::strlen(g_stats_json_buf) + 1);
  return copy;
}

extern "C" const char* shred_method_name(shred_method method) noexcept {
  switch (method) {
    case SHRED_METHOD_QUICK:
      return "Quick (1-pass)";
    case SHRED_METHOD_DOD_3PASS:
      return "DOD 5220.22-M (3-pass)";
    case SHRED_METHOD_DOD_7PASS:
      return "DOD 5220.22-M (7-pass)";
    case SHRED_METHOD_GUTMANN:
      return "Gutmann (35-pass)";
    case SHRED_METHOD_CUSTOM:
      return "Custom";
    default:
      return "Unknown";
  }
}

extern "C" int32_t shred_method_passes(shred_method method) noexcept {
  // One unsigned comparison sends 0, negatives and everything above 4 to the default of 1.
  const uint32_t index = static_cast<uint32_t>(method) - 1u;
  return index > 3u ? 1 : kMethodPasses[index];
}

int32_t shred_passes_to_run(int32_t method) {
  const int32_t passes = shred_method_passes(method);
  return passes < 1 ? 1 : passes;
}

extern "C" int32_t shred_file(const char* path, shred_method method) noexcept {
  shred_clear_error();
  // An out-of-range method runs as itself.
  return shred_file_internal(path, method, shred_passes_to_run(method), nullptr);
}

extern "C" int32_t shred_file_custom(const char* path, int32_t passes) noexcept {
  shred_clear_error();
  if (passes < 1 || passes > SHRED_MAX_CUSTOM_PASSES) {
    shred_set_error("Invalid passes count for custom shred: %d (must be between 1 and %d)", passes,
                    SHRED_MAX_CUSTOM_PASSES);
    return -1;
  }
  return shred_file_internal(path, SHRED_METHOD_CUSTOM, passes, nullptr);
}

extern "C" int32_t shred_directory(const char* path, shred_method method) noexcept {
  shred_clear_error();
  return shred_dir_internal(path, method, shred_passes_to_run(method), 0, nullptr);
}

extern "C" int32_t shred_directory_recursive(const char* path, shred_method method) noexcept {
  shred_clear_error();
  return shred_dir_internal(path, method, shred_passes_to_run(method), 1, nullptr);
}

extern "C" int32_t shred_free_space(const char* directory, shred_method method) noexcept {
  shred_clear_error();
  shred_target target{};
  shred_resolve(directory, &target);
  os_directory parent(target.parent);
  return shred_free_space_resolved(directory, target, method, shred_passes_to_run(method),
                                   nullptr);
}

extern "C" int32_t shred_init(void) noexcept {
  shred_clear_error();
  shred_record_stats(0, 0, 0, 0);
  // The random source keeps no state and needs no set-up; only the job table is reset.
  shred_async_init();
  return 0;
}

extern "C" void shred_cleanup(void) noexcept { shred_async_cleanup(); }
