/*
 * kelvarin-shred: secure deletion of files and directory trees.
 *
 * The whole public interface of the library: sixteen functions, the storage assessment and the
 * free-space wipe beside them, the method numbers and the job status values. Every function returns plain scalars or texts; a failure is -1 together with a
 * message that shred_last_error() returns. Texts returned by the library live in static storage
 * and must not be freed or written through.
 */
#ifndef KELVARIN_SHRED_H
#define KELVARIN_SHRED_H

#include <stdint.h>

/* Building the DLL exports, using it imports, and the static build (tests) needs neither. */
#if defined(_WIN32)
#if defined(KELVARIN_SHRED_BUILDING_DLL)
#define SHRED_API __declspec(dllexport)
#elif defined(KELVARIN_SHRED_STATIC)
#define SHRED_API
#else
#define SHRED_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define SHRED_API __attribute__((visibility("default")))
#else
#define SHRED_API
#endif

/* The library never throws; C++ callers may rely on that. */
#if defined(__cplusplus)
#define SHRED_NOEXCEPT noexcept
#else
#define SHRED_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Overwrite method. Any other number is accepted and runs as an unknown method: one pass of
 * the 0x00 / 0xFF / random rotation. */
typedef int32_t shred_method;

enum {
  SHRED_METHOD_QUICK = 0,     /* 1 random pass */
  SHRED_METHOD_DOD_3PASS = 1, /* 0x00, 0xFF, random */
  SHRED_METHOD_DOD_7PASS = 2, /* 0x00, 0xFF, random, 0x00, 0xFF, random, random */
  SHRED_METHOD_GUTMANN = 3,   /* the 35-pass Gutmann sequence */
  SHRED_METHOD_CUSTOM = 4     /* 1 to SHRED_MAX_CUSTOM_PASSES passes of 0x00, 0xFF, random */
};

#define SHRED_MAX_CUSTOM_PASSES 100

/* Job status, as shred_is_complete() reports it. */
enum { SHRED_JOB_RUNNING = 0, SHRED_JOB_SUCCEEDED = 1, SHRED_JOB_FAILED = -1 };

/* Set-up and shutdown. shred_init() resets the texts and the job table: call it before any job
 * function, and again only when no job exists. shred_cleanup() cancels every job, waits at most
 * 2000 ms for each and releases them. */
SHRED_API int32_t shred_init(void) SHRED_NOEXCEPT;
SHRED_API void shred_cleanup(void) SHRED_NOEXCEPT;

/* Synchronous shredding on the caller's thread: 0 on success, -1 with a message on failure.
 * Refused without touching anything: roots and the working directory (however spelled), a path
 * ending in "." or "..", links, special files, files with more than one name, mount points and
 * files of kernel pseudo file systems. Nothing outside the named file or tree is ever written,
 * renamed or removed, even while another process renames or swaps directories inside it. A file
 * that grows while it is shredded fails and keeps its name. */
SHRED_API int32_t shred_file(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_file_custom(const char* path, int32_t passes) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory_recursive(const char* path, shred_method method) SHRED_NOEXCEPT;

/* Jobs on worker threads: the job id (1 or more), or -1 with a message. The path is resolved
 * at submission: a relative path means what it meant in the working directory of that moment. */
SHRED_API int32_t shred_file_async(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory_async(const char* path, shred_method method,
                                        int32_t recursive) SHRED_NOEXCEPT;

/* Job queries: percent done (0 to 100), status (SHRED_JOB_*), 0 once cancel is requested;
 * -1 from each for an id that the table does not hold. */
SHRED_API int32_t shred_progress(int32_t job_id) SHRED_NOEXCEPT;
SHRED_API int32_t shred_is_complete(int32_t job_id) SHRED_NOEXCEPT;
SHRED_API int32_t shred_cancel(int32_t job_id) SHRED_NOEXCEPT;

/* Heuristic: 1 when the first 4096 bytes of the file look overwritten, 0 when they look like
 * ordinary content or the file cannot be opened. */
SHRED_API int32_t shred_verify(const char* path) SHRED_NOEXCEPT;

/* Storage assessment: whether an overwrite through the file can reach the blocks that held its
 * data. Writes one JSON object into `buffer` (at most `size` bytes, always NUL-terminated when
 * size > 0, never cut inside a character) and returns its full length, as snprintf does; call
 * with (NULL, 0) to learn the length. -1 with a message for a NULL, empty or missing path, or a
 * link. Never writes to, opens for writing or changes the file. Members: "path", "filesystem",
 * "in_place" ("yes", "no" or "unknown"), "reasons" (an array of {"code", "detail"}; codes:
 * copy_on_write, journaled_data, shared_extents, compressed, lower_layer, inline_data, network,
 * memory, flash_medium) and "medium" ("rotational", "flash" or "unknown"). */
SHRED_API int32_t shred_assess(const char* path, char* buffer, int32_t size) SHRED_NOEXCEPT;

/* Free-space wipe: fills the free space of the file system that holds `directory` with the
 * method's passes, then removes everything it made. It creates one directory of its own inside
 * `directory` ("__shred_fill_" and random characters, never replacing anything), writes files
 * of at most 1 GiB there until the file system is full, rewrites them with each later pass
 * (each file flushed at the end of each pass) and removes them and the directory on every way
 * out: success, failure, cancellation and shutdown. Run as root on ext4, it also lowers the
 * space ext4 keeps back from data writes for the time of the wipe and restores it afterwards.
 * Destroys the copies that shredding a file cannot reach: blocks freed by copy-on-write, the
 * journal's copies and files deleted without shredding. Refused without creating anything: a
 * path that is not a directory (or is a link), a read-only file system, kernel pseudo, network
 * and in-memory file systems, and a directory the caller cannot write. 0 on success (the
 * statistics document then also carries "free_space_wiped" and "free_space_unreached", in
 * bytes), -1 with a message otherwise. The job form runs the same as a job: its progress is the
 * bytes written over the planned total (the free space at the start, once per pass), and it
 * stays below 100 until the fill is removed. A process killed during a wipe leaves its fill
 * directory behind: remove it by hand. */
SHRED_API int32_t shred_free_space(const char* directory, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_free_space_async(const char* directory,
                                         shred_method method) SHRED_NOEXCEPT;

/* Method catalogue: a constant name ("Unknown" for other numbers) and the pass count (0 for
 * SHRED_METHOD_CUSTOM, whose count the caller chooses). */
SHRED_API const char* shred_method_name(shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_method_passes(shred_method method) SHRED_NOEXCEPT;

/* Reporting: the last failure's message ("No error" when none) and a one-line JSON document
 * describing the last file destroyed. Both texts are process-wide; each call returns a copy made
 * for the calling thread, never a text half-rewritten by another thread, which stays valid until
 * the same thread calls the same function again. */
SHRED_API const char* shred_last_error(void) SHRED_NOEXCEPT;
SHRED_API const char* shred_stats_json(void) SHRED_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KELVARIN_SHRED_H */
