// The operating-system layer: the only code that knows which system it runs on.
//
// Free functions with the os_ prefix and plain handle types, implemented once for POSIX (the
// generic parts in posix/, the Linux specifics in linux/) and once in win32.cpp. The modules of
// the library call these and nothing of the OS directly; this layer calls nothing of theirs.
// Each function documents what it promises on both systems.
#ifndef KELVARIN_SHRED_PLATFORM_H
#define KELVARIN_SHRED_PLATFORM_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// The longest path the library forms for itself, terminating NUL included (MAX_PATH).
constexpr size_t OS_PATH_MAX = 260;
// An SRWLOCK and a CONDITION_VARIABLE are each one pointer-sized word whose initial state is all
// zeros (SRWLOCK_INIT, CONDITION_VARIABLE_INIT); keeping <windows.h> out of every module is
// worth the stand-in types.
struct os_lock {
  void* opaque;
};
#define OS_LOCK_INIT \
  { nullptr }
struct os_cond {
  void* opaque;
};
#define OS_COND_INIT \
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
struct os_cond {
  pthread_cond_t cond;
};
#define OS_COND_INIT \
  { PTHREAD_COND_INITIALIZER }
#endif

// Locks are constant-initialised with OS_LOCK_INIT, so a global lock is usable from load time
// and never needs creating or destroying. Not recursive.
void os_lock_acquire(os_lock* lock);
void os_lock_release(os_lock* lock);

// Condition variables, constant-initialised with OS_COND_INIT. A wait releases the held lock
// while it sleeps and holds it again when it returns; it may return without a wake-up, so
// callers wait in a loop on their own condition.
void os_cond_wait(os_cond* cond, os_lock* lock);
void os_cond_wake_all(os_cond* cond);

// The number of processors the system runs threads on; at least 1.
uint32_t os_processor_count();

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

// ---- Files and directories -------------------------------------------------------------------
//
// Error numbers are the kernel's own (errno, or GetLastError on Windows), captured by the call
// that failed; 0 never means failure.
//
// Everything that changes the disk acts through handles, never through a path string looked up
// again: the caller's path is resolved once into a held directory and a last component, and every
// later step is relative to that directory (POSIX *at calls; on Windows a directory held open
// without delete sharing, so that it can be neither renamed nor replaced while it is held).

// Attribute bits, with the same values on both systems so that callers have one code path.
constexpr uint32_t OS_ATTR_READONLY = 0x1;  // POSIX: the owner-write bit is clear
constexpr uint32_t OS_ATTR_DIRECTORY = 0x10;
constexpr uint32_t OS_ATTR_DEVICE = 0x40;    // POSIX: device node, FIFO or socket
constexpr uint32_t OS_ATTR_REPARSE = 0x400;  // symbolic link, junction or other reparse point
constexpr uint32_t OS_ATTR_INVALID = 0xFFFFFFFF;

// The longest single path component, terminating NUL included.
constexpr size_t OS_NAME_MAX = 256;

// Which object a name refers to: device and inode on POSIX, volume serial number and file index
// on Windows. Two names refer to the same object exactly when their ids are equal.
struct os_file_id {
  uint64_t volume;
  uint64_t index;
};
inline bool os_same_file(const os_file_id& a, const os_file_id& b) {
  return a.volume == b.volume && a.index == b.index;
}

// What the library learns about one object before it acts on it, links never followed.
struct os_object_info {
  uint32_t attributes;  // OS_ATTR_* bits
  os_file_id id;
  uint32_t links;   // the number of names the object has (hard links)
  bool mount_root;  // the object is the root of a mount inside its directory (a mounted file
                    // system, or a bind-mounted directory or file)
  bool pseudo;      // it lives on a kernel pseudo file system (proc, sysfs, ...): never data
  bool root;        // a directory that is the root of the file system ("/", or a volume root)
};

// The native separator of the paths the library builds, and whether c separates path
// components here ("/" on POSIX, "/" and backslash on Windows).
char os_separator();
bool os_is_separator(char c);

// Splits the caller's path into the directory that holds its last component and that component,
// trailing separators removed. `parent` is what to open with os_open_directory ("." when the path
// has no directory part); `name` is empty when the path has no last component of its own (a
// root, or on Windows a drive such as "K:" or "K:\"), in which case `parent` names the object
// itself. *trailing says whether separators followed the last component. False when a part does
// not fit its buffer.
bool os_split_path(const char* path, char* parent, size_t parent_size, char* name, size_t name_size,
                   bool* trailing);

// A directory held open; opaque. On Windows it also remembers the path it was opened by.
struct os_dir_handle;

// Opens the directory a path names, following the path's components as the system does (the
// caller's own spelling is theirs to choose). Null with the error when it is not a directory.
os_dir_handle* os_open_directory(const char* path, uint32_t* error);

// Opens the directory `name` inside `parent`, never through a link or reparse point, and
// describes it from the opened handle. Null with the error when `name` is not a directory (a
// link is not one) or cannot be opened.
os_dir_handle* os_open_subdirectory(os_dir_handle* parent, const char* name, os_object_info* info,
                                    uint32_t* error);

void os_close_directory(os_dir_handle* dir);

// Describes a held directory itself (root is set when it is the file system's root).
bool os_directory_info(os_dir_handle* dir, os_object_info* info, uint32_t* error);

// The working directory's id at the moment of the call. False when it cannot be read.
bool os_current_directory_id(os_file_id* id);

// Describes `name` inside `dir` without following it; false with the error when it cannot be
// looked up.
bool os_stat_at(os_dir_handle* dir, const char* name, os_object_info* info, uint32_t* error);

// Whether `name` inside `dir` refers right now to the directory `id`, links not followed. A held
// directory can be renamed away from the name it was opened by; this tells whether it still
// stands where it was found.
bool os_names_directory(os_dir_handle* dir, const char* name, const os_file_id& id);

// Drops the read-only attribute of `name` inside `dir` if it still is the regular file `id`;
// never through a link. True when the attribute was dropped, false when it stays (best effort).
bool os_clear_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id);

// Puts the read-only attribute back on `name` inside `dir` if it still is the regular file `id`,
// undoing os_clear_readonly_at; never through a link. Best effort. On Windows the file must not
// be held open without sharing.
void os_restore_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id);

// A kernel file handle; both systems use -1 for "none".
using os_handle = intptr_t;
constexpr os_handle OS_INVALID_HANDLE = -1;

// Opens the existing regular file `name` inside `dir` for reading and writing, shared with no
// other opener, never through a link and never creating it, and describes the opened object
// from its handle. On failure returns OS_INVALID_HANDLE and the error.
os_handle os_open_exclusive_at(os_dir_handle* dir, const char* name, os_object_info* info,
                               uint32_t* error);

// Path-based exclusive open, for tests and tools that hold a file the way another program would.
os_handle os_open_exclusive(const char* path, uint32_t* error);

// Opens an existing regular file for reading, admitting other readers only. A directory, or
// anything else that is not a regular file, is a failure.
os_handle os_open_shared_read(const char* path);

bool os_file_size(os_handle file, int64_t* size);

// Moves the file position to `offset` from the start.
bool os_seek(os_handle file, int64_t offset, uint32_t* error);

// The next range of the file at or after `from` for which it owns blocks: [*start, *end), cut
// at `limit` (its size, or the end of the part the caller asks about). Written, unwritten
// (preallocated or zeroed with fallocate) and delayed ranges are all data, since their blocks may
// still hold what was written there before; only holes, with no block at all, are skipped. A
// file that is not sparse is one range. Where the system cannot tell, everything up to `limit`
// is data, which is never less than the truth. False when no data lies in [from, limit). The
// file position is left where it was.
// Linux reads the extent map (FS_IOC_FIEMAP), or SEEK_DATA where a file system has none;
// Windows the allocated ranges of a sparse file.
bool os_next_data(os_handle file, int64_t from, int64_t limit, int64_t* start, int64_t* end);

// Whether os_next_data reads a map of the blocks of this file (an extent map, or a file that
// cannot have holes), so that blocks released by another process show there. Where it does not,
// they show only in the allocation below falling.
bool os_has_block_map(os_handle file);

// What a file holds right now, read through its handle; cheap enough to ask before every chunk,
// and without forcing written data out first (as a full stat does on NFS).
struct os_allocation {
  int64_t size;
  int64_t allocated;  // bytes the file system has given it (st_blocks x 512, or the allocation
                      // size), its own bookkeeping included where the system counts that
};
bool os_file_allocation(os_handle file, os_allocation* allocation);

// Writes all `length` bytes unless the kernel refuses: *written says how many went out, and on
// a refusal the result is false with the kernel's error. Interrupted calls are retried.
bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error);

// One read of up to `length` bytes at the current position; *got says how many arrived.
bool os_read(os_handle file, void* data, uint32_t length, uint32_t* got);

// Asks the system to start writing back a range now, without waiting; a hint, not a flush, so
// that the device is busy while the caller prepares the next data. May do nothing.
void os_start_writeback(os_handle file, int64_t offset, int64_t length);

// Forces the file's written data to the device. False with the error when the device did not
// confirm it: the data written since the last flush may not be there.
bool os_flush(os_handle file, uint32_t* error);

// Cuts the file at its current position. Best effort.
void os_truncate_here(os_handle file);

void os_close(os_handle file);

// Renames `name` inside `dir` to `new_name` in the same directory, provided `name` still refers
// to the open file `file` (whose id is `id`). Never replaces an existing object of the new name
// and never renames anything else. True when the file now bears the new name.
bool os_rename_open_file(os_dir_handle* dir, const char* name, const char* new_name, os_handle file,
                         const os_file_id& id);

// Deletes `name` inside `dir`, provided it still refers to the open file `file` (id `id`); a
// name that refers to anything else, a link above all, is left alone. True when deleted.
bool os_delete_open_file(os_dir_handle* dir, const char* name, os_handle file,
                         const os_file_id& id);

// Removes the empty directory `name` inside `dir`, provided it still is the directory `id`. Its
// own handle must be closed first. True when removed.
bool os_remove_directory_at(os_dir_handle* dir, const char* name, const os_file_id& id);

// An open listing of one held directory; opaque.
struct os_dir;

// Starts listing a held directory through its handle. Null when it cannot be listed.
os_dir* os_list_directory(os_dir_handle* dir);

// The next entry, "." and ".." included: its name (valid until the next call) and its
// attribute bits, links not followed (an unknown type is looked up, never guessed). False at
// the end of the listing or on a failure.
bool os_dir_next(os_dir* dir, const char** name, uint32_t* attributes);

void os_dir_close(os_dir* dir);

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

// Owns a held directory and closes it when it goes out of scope; movable, not copyable.
class os_directory {
 public:
  os_directory() = default;
  explicit os_directory(os_dir_handle* dir) : dir_(dir) {}
  ~os_directory() { close(); }
  os_directory(os_directory&& other) noexcept : dir_(other.release()) {}
  os_directory& operator=(os_directory&& other) noexcept {
    if (this != &other) {
      close();
      dir_ = other.release();
    }
    return *this;
  }
  os_directory(const os_directory&) = delete;
  os_directory& operator=(const os_directory&) = delete;

  bool valid() const { return dir_ != nullptr; }
  os_dir_handle* get() const { return dir_; }
  os_dir_handle* release() {
    os_dir_handle* dir = dir_;
    dir_ = nullptr;
    return dir;
  }
  void close() {
    if (dir_ != nullptr) os_close_directory(dir_);
    dir_ = nullptr;
  }

 private:
  os_dir_handle* dir_ = nullptr;
};

// ---- Storage facts -----------------------------------------------------------------------------
//
// What the system says about where a file's data lives, gathered without writing anything. The
// judgement of what the facts mean for an overwrite belongs to the caller; this layer only reads.

enum os_medium { OS_MEDIUM_UNKNOWN = 0, OS_MEDIUM_ROTATIONAL = 1, OS_MEDIUM_FLASH = 2 };

struct os_storage {
  char filesystem[32];      // the system's own name: "ext4", "btrfs", "tmpfs", "NTFS", ...;
                            // empty when it cannot be named
  char mount_options[512];  // the mount's options and the file system's own, comma-separated
                            // ("rw,relatime,data=journal"); empty where the system has none
  bool remote;              // the data lives on another machine (a network drive)
  bool nocow;               // the file is marked to be overwritten in place (btrfs NOCOW)
  bool compressed;          // the file is marked compressed
  bool encrypted;           // the file is marked encrypted by the file system
  bool shared_extents;      // some of its extents are shared with another file or a snapshot
  bool inline_data;         // some of its data is kept inside the inode or the file record
  bool encoded_extents;     // some of its extents are stored encoded (compressed, encrypted)
  bool extents_known;       // whether the three facts above could be read at all
  os_medium medium;         // the device under the file system, where it can be found
};

// Reads the storage facts of the object `name` inside `dir` (a file or a directory; an empty
// name means `dir` itself), never following a link and never opening it for writing. False with the
// error when the object cannot be opened for reading its facts.
bool os_storage_facts(os_dir_handle* dir, const char* name, os_storage* storage, uint32_t* error);

// ---- Free space -------------------------------------------------------------------------------
//
// What a wipe of a file system's free space needs: its space figures, new objects that never
// replace an existing one, "full" told apart from other failures, and the space a file system
// keeps back from data writes.

struct os_volume_space {
  int64_t available;  // bytes the caller may still write
  int64_t free;       // bytes free for data, those kept back for the administrator included
  int64_t total;      // the size of the file system
  uint32_t block_size;
  bool read_only;  // mounted or marked read-only
};

// Reads the space figures of the file system that holds `dir`. False with the error when they
// cannot be read.
bool os_volume_space_of(os_dir_handle* dir, os_volume_space* space, uint32_t* error);

// Creates the directory `name` inside `dir`, accessible to its owner only, never replacing or
// reusing anything of that name (the error is then EEXIST or ERROR_ALREADY_EXISTS). False with
// the error when it was not created.
bool os_make_directory_at(os_dir_handle* dir, const char* name, uint32_t* error);

// True for an error that reports a name taken by an existing object.
bool os_is_name_taken(uint32_t error);

// Creates the new regular file `name` inside `dir` for reading and writing, shared with no other
// opener and accessible to its owner only; never opens or replaces an existing object. Describes
// it from its handle. OS_INVALID_HANDLE with the error when it was not created.
os_handle os_create_file_at(os_dir_handle* dir, const char* name, os_object_info* info,
                            uint32_t* error);

// True for an error that means the file system, or the caller's share of it, is full.
bool os_is_disk_full(uint32_t error);

// Asks the file system that holds `dir` to commit everything it has pending, so that blocks freed
// a moment ago (by a deletion or a copy-on-write rewrite) become writable. Best effort.
void os_flush_volume(os_dir_handle* dir);

// Removes the regular file `name` inside `dir`, provided it still is the file `id`, whatever
// another process holds: no lock or exclusive open is needed. Its data is cut off first where the
// system allows, so that its space comes back at once even while another opener keeps it open
// (an unlinked file's blocks are otherwise freed only when the last opener closes it). True when
// the name is gone, or on Windows marked for deletion when the last opener closes it.
bool os_remove_file_at(os_dir_handle* dir, const char* name, const os_file_id& id);

// Whether the held directory belongs to the caller's own user (POSIX: its owner is the effective
// user id). True on Windows, where ownership is one entry of an access list that no cheap check
// reads correctly.
bool os_owned_by_caller(os_dir_handle* dir);

// Space that a file system keeps back from every data write whoever writes (ext4's reserved
// clusters), and which a free-space wipe therefore cannot reach unless it is lowered for the time
// of the wipe. Plain data; os_restore_reserve gives back what os_lower_reserve took.
struct os_reserve {
  int64_t kept_bytes;  // what stays kept back after os_lower_reserve: unreachable by the wipe
  bool lowered;        // this record lowered the reserve and must restore it
  int32_t slot;        // internal
};

// Reads the reserve of the file system that holds `dir` and, where the caller may (root), sets
// it to zero. Several wipes of one file system share the lowering: the first lowers, the last to
// restore puts the old value back. Never fails: where nothing is known, kept_bytes is 0.
void os_lower_reserve(os_dir_handle* dir, os_reserve* reserve);
void os_restore_reserve(os_reserve* reserve);

// The longest reserve token, terminating NUL included.
constexpr size_t OS_RESERVE_TOKEN_MAX = 40;

// What os_lower_reserve would have to put back on the file system of `dir`, as a token of
// letters, digits and underscores that fits in a file name: the value before any wipe of this
// process lowered it, or "none" when os_lower_reserve would change nothing there (no reserve, a
// zero one, or one the caller may not change). Read before the reserve is lowered, and kept on
// that file system, so that a wipe killed before it could restore the reserve can be finished.
void os_reserve_token(os_dir_handle* dir, char (&token)[OS_RESERVE_TOKEN_MAX]);

// Puts back the reserve a killed wipe recorded as `token` on the file system of `dir`: only while
// the reserve still reads zero there (a value set since is left alone) and no wipe of this process
// holds it lowered (that one puts back what it found). A token it does not recognise, "none"
// included, changes nothing. Best effort.
void os_put_back_reserve(os_dir_handle* dir, const char* token);

// ---- Threads -----------------------------------------------------------------------------------

// A started thread; opaque.
struct os_thread;

// Starts `entry(arg)` on a new thread at once. Null when no thread could be started.
os_thread* os_thread_start(void (*entry)(void* arg), void* arg);

// Waits at most `timeout_ms` for the thread to end, measured on a clock that setting the system
// time does not move; true when it has.
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
