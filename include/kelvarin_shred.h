/*
 * kelvarin-shred: secure deletion of files and directory trees.
 *
 * The whole public interface of the library: sixteen functions, the storage assessment and the
 * free-space wipe beside them, the method numbers and the job status values. Every function returns plain scalars or
 * texts; a failure is -1 together with a message that shred_last_error() returns. Texts
 * returned by the library belong to it and must not be freed or written through; each
 * function's comment says how long its texts stay valid. Paths are NUL-terminated 8-bit strings
 * passed to the system unchanged.
 *
 * The header compiles as C89 and later, and as C++98 and later.
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

/* The library never throws; C++ callers may rely on that. C++98 has no noexcept; throw() says
 * the same there. */
#if defined(__cplusplus) && \
    (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#define SHRED_NOEXCEPT noexcept
#elif defined(__cplusplus)
#define SHRED_NOEXCEPT throw()
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

/* ---- Set-up and shutdown ------------------------------------------------------------------
 *
 * shred_init() resets the last-error text, the statistics document and the job table, and
 * returns 0. Call it once before the first job function, and again only when no job exists
 * (for instance after shred_cleanup()). The synchronous functions, shred_verify(),
 * shred_assess() and the catalogue need no set-up.
 *
 * shred_cleanup() raises the cancel flag of every job, then waits for each job's worker in turn,
 * at most 2000 ms per job, and forgets every job: afterwards the job queries return -1 for all
 * ids. A worker that is still inside one write or flush when its wait ends (a slow or stalled
 * device) is not stopped: it outlives shred_cleanup(), ends at its next cancel test and leaves
 * its file under its own name at full length, as any cancelled job does. Do not unload the
 * library (dlclose, FreeLibrary) while such a worker may still run; ending the process is safe.
 *
 * Thread safety: call these two from one thread, and not while other threads submit or query
 * jobs. */
SHRED_API int32_t shred_init(void) SHRED_NOEXCEPT;
SHRED_API void shred_cleanup(void) SHRED_NOEXCEPT;

/* ---- Synchronous shredding on the caller's thread ------------------------------------------
 *
 * 0 on success, -1 with a message on failure. Each call first resets the last-error text to
 * "No error". shred_file_custom() takes 1 to SHRED_MAX_CUSTOM_PASSES passes. shred_directory()
 * shreds the files directly inside `path` and removes the directory if it is then empty;
 * shred_directory_recursive() shreds everything below it and removes every directory it
 * emptied. A failed entry does not stop a walk, which still returns -1 at its end; the message
 * is that of the last failure.
 *
 * Refused without touching anything: roots and the working directory (however spelled), a path
 * ending in "." or "..", links, special files, files with more than one name, mount points and
 * files of kernel pseudo file systems. Nothing outside the named file or tree is ever written,
 * renamed or removed, even while another process renames or swaps directories inside it: a
 * directory moved out of the tree during a walk is not emptied at its new place, and the walk
 * fails. A file that grows while it is shredded fails and keeps its name; so does one that
 * shrinks or gains a hole (another process truncates it or punches a hole into it), whose
 * message says that the released blocks may still hold its data and that a wipe of the free
 * space (shred_free_space) destroys them. Unwritten ranges (preallocated, or zeroed with
 * fallocate) are overwritten like written ones; only holes are skipped. A read-only file gets
 * its attribute back whenever it stays.
 *
 * Thread safety: callable from any thread, concurrently with each other and with jobs. Two
 * calls on the same file at once do not share it: one of them fails to open it. */
SHRED_API int32_t shred_file(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_file_custom(const char* path, int32_t passes) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory_recursive(const char* path, shred_method method) SHRED_NOEXCEPT;

/* ---- Jobs on worker threads ----------------------------------------------------------------
 *
 * Submission: the job id (1 or more), or -1 with a message (an empty path, a path of 2048 bytes
 * or more, 128 jobs already running, no thread to be had). Everything else, a refused path
 * included, is the job's failure, read through shred_is_complete() and shred_last_error(). The
 * path is resolved at submission: a relative path means what it meant in the working directory
 * of that moment. A job takes its pass count from the method; shred_directory_async() walks the
 * whole tree when `recursive` is non-zero and only the files directly inside otherwise.
 *
 * shred_progress(): percent done, 0 to 100. For a file job, the share of all its passes written
 * so far. For a directory job, the same share of the file being overwritten at that moment (or
 * of the last one, between files): it climbs again from near 0 with every file and does not
 * tell how much of the tree is done. 100 once the whole job has succeeded; a failed or
 * cancelled job keeps the value it had.
 *
 * shred_is_complete(): SHRED_JOB_RUNNING, SHRED_JOB_SUCCEEDED, or -1. The -1 means either that
 * the job failed (SHRED_JOB_FAILED: cancelled, refused or an entry failed) or that the table
 * holds no job of that id. A finished job keeps its slot only until a later submission reuses
 * it, so read a job's final status before submitting the next job.
 *
 * shred_cancel(): 0 once the job's cancel flag is raised (also for a job that has already
 * finished, which it does not change), -1 for an id the table does not hold. The job stops at
 * its next chunk (64 KiB) or directory entry and ends as SHRED_JOB_FAILED; the file it was
 * overwriting keeps its name at full length.
 *
 * A job writes the message of its failure into the process-wide last-error text as it fails; a
 * later failure on any thread replaces it.
 *
 * Thread safety: after shred_init(), callable from any thread, concurrently with each other and
 * with the synchronous functions. */
SHRED_API int32_t shred_file_async(const char* path, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_directory_async(const char* path, shred_method method,
                                        int32_t recursive) SHRED_NOEXCEPT;
SHRED_API int32_t shred_progress(int32_t job_id) SHRED_NOEXCEPT;
SHRED_API int32_t shred_is_complete(int32_t job_id) SHRED_NOEXCEPT;
SHRED_API int32_t shred_cancel(int32_t job_id) SHRED_NOEXCEPT;

/* ---- Inspection ----------------------------------------------------------------------------
 *
 * shred_verify(): a heuristic, 1 when the first 4096 bytes of the file look overwritten (mostly
 * non-printable, all 0x00 or all 0xFF; an empty file counts as overwritten), 0 when they look
 * like ordinary content or the file cannot be opened. It proves nothing about the device. Only
 * a NULL or empty path leaves a message.
 *
 * shred_assess(): whether an overwrite through the file can reach the blocks that held its
 * data. Writes one JSON object into `buffer` and returns its full length, as snprintf does; call
 * with (NULL, 0) to learn the length. A buffer of fewer than length + 1 bytes receives the
 * longest start of the document that fits, NUL-terminated when size > 0 and never cut inside a
 * character or an escape (so not valid JSON: call again with a larger buffer). -1 with a message for a NULL, empty or missing path, or a
 * link. Never writes to, opens for writing or changes the file. Members: "path", "filesystem",
 * "in_place" ("yes", "no" or "unknown"), "reasons" (an array of {"code", "detail"}; codes:
 * copy_on_write, journaled_data, shared_extents, compressed, lower_layer, inline_data, network,
 * memory, flash_medium) and "medium" ("rotational", "flash" or "unknown"). The caller owns the
 * buffer; the library keeps nothing of it.
 *
 * Names in JSON: every document of the library (and of the kelvarin-shred command) is valid JSON
 * whatever the path holds. A path is bytes: a well-formed UTF-8 character stays as it is, '"',
 * '\' and control characters are escaped, and each byte that is part of no well-formed UTF-8
 * character becomes the escape \udcXX, XX being the byte in hex (0x80 to 0xFF; the
 * "surrogateescape" convention). To get the bytes back, map U+DC80..U+DCFF to the bytes
 * 0x80..0xFF and encode everything else as UTF-8; in Python, os.fsencode(json.loads(text)["path"])
 * on a UTF-8 system, or .encode("utf-8", "surrogateescape").
 *
 * Thread safety: both callable from any thread, concurrently with everything else. */
SHRED_API int32_t shred_verify(const char* path) SHRED_NOEXCEPT;
SHRED_API int32_t shred_assess(const char* path, char* buffer, int32_t size) SHRED_NOEXCEPT;

/* ---- Free-space wipe -----------------------------------------------------------------------
 *
 * shred_free_space() fills the free space of the file system that holds `directory` with the
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
 * stays below 100 until the fill is removed. Fill files are removed by identity whatever another
 * process holds: one held open or locked elsewhere is cut to zero length first, so that its
 * space comes back at once.
 *
 * A process killed during a wipe (SIGKILL, a crash) leaves its fill directory and, on ext4, the
 * lowered reserve. Each wipe therefore keeps a record in its fill directory while it runs (an
 * empty file "__shred_record_" plus what it changed, "ext4_reserve_N" or "none"), created before
 * the reserve is lowered and held locked. Every wipe first looks in `directory` itself, and only
 * there, for fill directories of earlier wipes: a directory of the wipe's own name pattern,
 * owned by the caller, on the same file system, holding one such record that no running wipe
 * holds. It removes their fill files by identity, puts back the reserve they recorded (only
 * while it still reads 0), then removes the record and the directory. Nothing else is touched:
 * a look-alike without a record, another user's, or a running wipe's fill stays as it is. So
 * after a killed wipe, wiping the same directory again finishes it.
 *
 * Thread safety: as the synchronous functions and the jobs above; two wipes of one file system
 * may overlap, each then fills what the other leaves. */
SHRED_API int32_t shred_free_space(const char* directory, shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_free_space_async(const char* directory,
                                         shred_method method) SHRED_NOEXCEPT;

/* ---- Method catalogue ----------------------------------------------------------------------
 *
 * A method's name ("Unknown" for other numbers) and pass count (0 for SHRED_METHOD_CUSTOM,
 * whose count the caller chooses; 1 for unknown numbers). The names are constants of the
 * library: valid for as long as it is loaded, never to be freed or written through.
 *
 * Thread safety: callable from any thread at any time, before shred_init() too. */
SHRED_API const char* shred_method_name(shred_method method) SHRED_NOEXCEPT;
SHRED_API int32_t shred_method_passes(shred_method method) SHRED_NOEXCEPT;

/* ---- Reporting -----------------------------------------------------------------------------
 *
 * shred_last_error(): the message of the last failure ("No error" when none since the last
 * reset). shred_stats_json(): a one-line JSON document describing the last file destroyed
 * (never a sum), {"files_shredded":1,"bytes_overwritten":N,"passes_completed":N,
 * "duration_ms":N}, or the last free-space wipe, which adds "free_space_wiped" and
 * "free_space_unreached" (bytes) and counts no file. It holds integers only, never a name, and
 * is always complete: it is never cut.
 *
 * Both texts are process-wide, not per thread: a failure or a destroyed file on any thread,
 * a job's worker included, is what they show, so read them right after the call they describe.
 * Each call returns a copy made for the calling thread, never a text half-rewritten by another
 * thread. The library owns the copy: do not free it or write through it. It stays valid until
 * the same thread calls the same function again, or until that thread ends; copy it to keep
 * it longer.
 *
 * Thread safety: callable from any thread at any time. */
SHRED_API const char* shred_last_error(void) SHRED_NOEXCEPT;
SHRED_API const char* shred_stats_json(void) SHRED_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KELVARIN_SHRED_H */
