// The ground floor every module reports to: the last-error text, the statistics document and
// the millisecond clock. Every writer here is safe from load time and from any thread.
#ifndef KELVARIN_SHRED_SHRED_REPORT_H
#define KELVARIN_SHRED_SHRED_REPORT_H

#include <cstddef>
#include <cstdint>

#if defined(__clang__)
#define SHRED_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(__GNUC__)
#define SHRED_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define SHRED_PRINTF_FORMAT(fmt, args)
#endif

// Wall-clock milliseconds; only the difference of two readings means anything.
int64_t shred_get_time_ms();

// Formats a message into the last-error text, cut to 1023 characters.
void shred_set_error(const char* format, ...) SHRED_PRINTF_FORMAT(1, 2);

// Sets the last-error text back to "No error".
void shred_clear_error();

// Replaces the statistics document with these four values (one file's run, never a sum).
void shred_record_stats(int64_t files_shredded, int64_t bytes_overwritten, int64_t passes_completed,
                        int64_t duration_ms);

// Replaces the statistics document with a free-space wipe's: the four values of a file's run (no
// file counted) and how much free space the wipe reached and did not reach.
void shred_record_free_space_stats(int64_t bytes_overwritten, int64_t passes_completed,
                                   int64_t duration_ms, int64_t wiped_bytes,
                                   int64_t unreached_bytes);

// Copies the last-error text and the statistics document, whole, into `out` (cut to `size`),
// so that a reader never sees one half-rewritten by another thread.
void shred_copy_last_error(char* out, size_t size);
void shred_copy_stats_json(char* out, size_t size);

// The sizes of the two texts, terminating NUL included.
constexpr size_t SHRED_LAST_ERROR_SIZE = 1024;
constexpr size_t SHRED_STATS_JSON_SIZE = 512;

#endif  // KELVARIN_SHRED_SHRED_REPORT_H
