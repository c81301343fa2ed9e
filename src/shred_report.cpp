// The library's frame: the last-error text and the statistics document that every other module
// reports through. Both texts are process-wide (not per thread); the exported readers hand out
// a copy made for the calling thread.
#include "shred_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kLastErrorSize = SHRED_LAST_ERROR_SIZE;
constexpr size_t kStatsJsonSize = SHRED_STATS_JSON_SIZE;

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

namespace {

// Made under the lock, so a text is never seen half-rewritten by another thread.
void copy_text(const char* text, char* out, size_t size) {
  if (size == 0) return;
  os_lock_guard hold(&g_global_cs);
  const size_t length = std::min(std::strlen(text), size - 1);
  std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace

void shred_copy_last_error(char* out, size_t size) { copy_text(g_last_error, out, size); }

void shred_copy_stats_json(char* out, size_t size) { copy_text(g_stats_json_buf, out, size); }
