// The operating-system layer: the only code that knows which system it runs on.
//
// Free functions with the os_ prefix and plain handle types, implemented once in posix.cpp and
// once in win32.cpp. The modules of the library call these and nothing of the OS directly; this
// layer calls nothing of theirs. Each function documents what it promises on both systems.
#ifndef KELVARIN_SHRED_PLATFORM_H
#define KELVARIN_SHRED_PLATFORM_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// The longest path the library forms for itself, terminating NUL included (MAX_PATH).
constexpr size_t OS_PATH_MAX = 260;
// An SRWLOCK is one pointer-sized word whose initial state is all zeros (SRWLOCK_INIT); keeping
// <windows.h> out of every module is worth the stand-in type.
struct os_lock {
  void* opaque;
};
#define OS_LOCK_INIT \
  { nullptr }
#else
#include <limits.h>
#include <pthread.h>
constexpr size_t OS_PATH_MAX = PATH_MAX;
struct os_lock {
  pthread_mutex_t mutex;
};
#define OS_LOCK_INIT \
  { PTHREAD_MUTEX_INITIALIZER }
#endif

// Locks are constant-initialised with OS_LOCK_INIT, so a global lock is usable from load time
// and never needs creating or destroying. Not recursive.
void os_lock_acquire(os_lock* lock);
void os_lock_release(os_lock* lock);

// Holds a lock for the lifetime of a scope, whichever way the scope is left.
class os_lock_guard {
 public:
  explicit os_lock_guard(os_lock* lock) : lock_(lock) { os_lock_acquire(lock_); }
  ~os_lock_guard() { os_lock_release(lock_); }
  os_lock_guard(const os_lock_guard&) = delete;
  os_lock_guard& operator=(const os_lock_guard&) = delete;

 private:
  os_lock* lock_;
};

// Wall clock in whole milliseconds since 1601-01-01 00:00 UTC on both systems. It may jump when
// the system clock is set; callers use only the difference of two readings.
int64_t os_time_ms();

// Fills `length` bytes with output of the system's cryptographic generator. Returns false when
// the generator failed, in which case the buffer's contents are unspecified.
bool os_random_bytes(void* buffer, uint32_t length);

// ---- Files -------------------------------------------------------------------------------------
//
// Error numbers are the kernel's own (errno, or GetLastError on Windows), captured by the call
// that failed; 0 never means failure.

// Attribute bits, with the same values on both systems so that callers have one code path.
constexpr uint32_t OS_ATTR_READONLY = 0x1;  // POSIX: the owner-write bit is clear
constexpr uint32_t OS_ATTR_DIRECTORY = 0x10;
constexpr uint32_t OS_ATTR_DEVICE = 0x40;    // POSIX: device node, FIFO or socket
constexpr uint32_t OS_ATTR_REPARSE = 0x400;  // symbolic link, junction or other reparse point
constexpr uint32_t OS_ATTR_INVALID = 0xFFFFFFFF;

// The path's attribute bits, links not followed; OS_ATTR_INVALID when it cannot be queried.
uint32_t os_get_attributes(const char* path);

// Drops the read-only attribute of a path whose attributes were just read; best effort, and
// never through a link.
void os_clear_readonly(const char* path, uint32_t attributes);

// The native separator of the paths the library builds, and whether c separates path
// components here ("/" on POSIX, "/" and backslash on Windows).
char os_separator();
bool os_is_separator(char c);

// A kernel file handle; both systems use -1 for "none".
using os_handle = intptr_t;
constexpr os_handle OS_INVALID_HANDLE = -1;

// Opens an existing regular file for reading and writing, shared with no other opener, never
// through a link and never creating it. On failure returns OS_INVALID_HANDLE and the error.
os_handle os_open_exclusive(const char* path, uint32_t* error);

// Opens an existing regular file for reading, admitting other readers only. A directory, or
// anything else that is not a regular file, is a failure.
os_handle os_open_shared_read(const char* path);

bool os_file_size(os_handle file, int64_t* size);
bool os_seek_start(os_handle file);

// Writes all `length` bytes unless the kernel refuses: *written says how many went out, and on
// a refusal the result is false with the kernel's error. Interrupted calls are retried.
bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error);

// One read of up to `length` bytes at the current position; *got says how many arrived.
bool os_read(os_handle file, void* data, uint32_t length, uint32_t* got);

// Asks the system to start writing back a range now, without waiting; a hint, not a flush, so
// that the device is busy while the caller prepares the next data. May do nothing.
void os_start_writeback(os_handle file, int64_t offset, int64_t length);

// Forces the file's written data to the device. Best effort.
void os_flush(os_handle file);

// Cuts the file at its current position. Best effort.
void os_truncate_here(os_handle file);

void os_close(os_handle file);

// Renames a file. Never replaces an existing file of the new name: that is a failure, as it is
// on Windows. Returns true when the file now bears the new name.
bool os_rename(const char* from, const char* to);

// Deletes a file (not a directory, and a link only as the link itself). Best effort.
void os_delete_file(const char* path);

// ---- Directories -------------------------------------------------------------------------------

// An open listing of one directory; opaque.
struct os_dir;

// Starts listing a directory, never through a link (a path that is a link, trailing separators
// or not, cannot be listed). Null when the directory cannot be listed for whatever reason.
os_dir* os_dir_open(const char* path);

// The next entry, "." and ".." included: its name (valid until the next call) and its
// attribute bits, links not followed. False at the end of the listing or on a failure.
bool os_dir_next(os_dir* dir, const char** name, uint32_t* attributes);

void os_dir_close(os_dir* dir);

// Removes a directory if it is empty. Best effort.
void os_remove_directory(const char* path);

// Owns a listing and closes it when it goes out of scope.
class os_dir_listing {
 public:
  explicit os_dir_listing(os_dir* dir) : dir_(dir) {}
  ~os_dir_listing() {
    if (dir_ != nullptr) os_dir_close(dir_);
  }
  os_dir_listing(const os_dir_listing&) = delete;
  os_dir_listing& operator=(const os_dir_listing&) = delete;

  bool valid() const { return dir_ != nullptr; }
  bool next(const char** name, uint32_t* attributes) { return os_dir_next(dir_, name, attributes); }

 private:
  os_dir* dir_;
};

// ---- Threads -----------------------------------------------------------------------------------

// A started thread; opaque.
struct os_thread;

// Starts `entry(arg)` on a new thread at once. Null when no thread could be started.
os_thread* os_thread_start(void (*entry)(void* arg), void* arg);

// Waits at most `timeout_ms` for the thread to end; true when it has.
bool os_thread_wait(os_thread* thread, uint32_t timeout_ms);

// Gives up the handle. A thread that is still running goes on by itself and frees its own
// resources when it ends.
void os_thread_release(os_thread* thread);

// Owns a handle and closes it when it goes out of scope.
class os_file {
 public:
  explicit os_file(os_handle handle) : handle_(handle) {}
  ~os_file() { close(); }
  os_file(const os_file&) = delete;
  os_file& operator=(const os_file&) = delete;

  bool valid() const { return handle_ != OS_INVALID_HANDLE; }
  os_handle get() const { return handle_; }
  void close() {
    if (valid()) os_close(handle_);
    handle_ = OS_INVALID_HANDLE;
  }

 private:
  os_handle handle_;
};

#endif  // KELVARIN_SHRED_PLATFORM_H
