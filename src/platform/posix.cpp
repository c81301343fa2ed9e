// POSIX (Linux) implementation of the platform layer.
//
// Maps the library's Windows-shaped needs onto POSIX calls. EINTR and short transfers are
// handled here so that no module above has to know about them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/chacha20.h"
#include "platform/platform.h"
#include "platform/test_seams.h"

namespace {

// Milliseconds between 1601-01-01 and 1970-01-01, so both systems count from the same epoch.
constexpr int64_t kUnixEpochInWindowsMs = 11644473600000LL;

// Reads exactly `length` bytes from getrandom(2); partial results and signals are looped over.
bool kernel_random(uint8_t* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = getrandom(out + done, length - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

uint32_t attributes_of(mode_t mode) {
  uint32_t attributes = 0;
  if (S_ISLNK(mode)) attributes |= OS_ATTR_REPARSE;
  if (S_ISDIR(mode)) attributes |= OS_ATTR_DIRECTORY;
  if (S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode)) {
    attributes |= OS_ATTR_DEVICE;
  }
  if ((mode & S_IWUSR) == 0) attributes |= OS_ATTR_READONLY;
  return attributes;
}

}  // namespace

void os_lock_acquire(os_lock* lock) { pthread_mutex_lock(&lock->mutex); }

void os_lock_release(os_lock* lock) { pthread_mutex_unlock(&lock->mutex); }

int64_t os_time_ms() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + kUnixEpochInWindowsMs;
}

// getrandom(2) alone runs at about a third of a disk's write rate for 64 KiB requests, so each
// request is instead a ChaCha20 keystream under a fresh kernel key and nonce. Nothing survives
// the call: there is no generator state to share between threads or to duplicate across fork.
bool os_random_bytes(void* buffer, uint32_t length) {
  uint8_t seed[44];  // 32-byte key, then 12-byte nonce
  if (!kernel_random(seed, sizeof seed)) {
    chacha20_wipe(seed, sizeof seed);
    return false;
  }
  chacha20_keystream(seed, seed + 32, 0, static_cast<uint8_t*>(buffer), length);
  chacha20_wipe(seed, sizeof seed);
  return true;
}

char os_separator() { return '/'; }

// A backslash is an ordinary file-name character on POSIX.
bool os_is_separator(char c) { return c == '/'; }

bool os_split_path(const char* path, char* parent, size_t parent_size, char* name,
                   size_t name_size, bool* trailing) {
  size_t end = std::strlen(path);
  while (end > 0 && path[end - 1] == '/') --end;
  *trailing = end < std::strlen(path);
  if (end == 0) {
    // Nothing but separators: the root, which has no last component of its own.
    if (parent_size < 2 || name_size < 1) return false;
    std::strcpy(parent, "/");
    name[0] = '\0';
    return true;
  }
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') --start;
  const size_t name_length = end - start;
  if (name_length + 1 > name_size) return false;
  std::memcpy(name, path + start, name_length);
  name[name_length] = '\0';
  if (start == 0) {
    if (parent_size < 2) return false;
    std::strcpy(parent, ".");
    return true;
  }
  // The directory part keeps its separators as given ("a//b" holds "a//"), which the kernel
  // reads the same way; only a part made of separators alone is the root.
  size_t parent_length = start;
  while (parent_length > 1 && path[parent_length - 1] == '/') --parent_length;
  if (parent_length + 1 > parent_size) return false;
  std::memcpy(parent, path, parent_length);
  parent[parent_length] = '\0';
  return true;
}

struct os_dir_handle {
  int fd;
  // Read once when the directory is opened, for comparing each entry with it.
  dev_t device;
  uint64_t mount_id;
  bool have_mount_id;
};

namespace {

int fd_of(os_dir_handle* dir) { return dir->fd; }

// Kernel file systems whose files are controls and views, not stored data.
bool is_pseudo_file_system(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case 0x62656570UL:  // configfs
    case EFIVARFS_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// The mount an open object belongs to, and whether it is that mount's root. statx reports both
// on Linux 5.8 and later; elsewhere the answer is "unknown" and callers compare devices.
bool mount_of(int fd, uint64_t* mount_id, bool* is_mount_root) {
#if defined(STATX_MNT_ID) && defined(STATX_ATTR_MOUNT_ROOT)
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) != 0) return false;
  if ((sx.stx_mask & STATX_MNT_ID) == 0) return false;
  *mount_id = sx.stx_mnt_id;
  *is_mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                   (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return true;
#else
  (void)fd;
  (void)mount_id;
  (void)is_mount_root;
  return false;
#endif
}

bool same_as(const struct stat& st, const char* path) {
  struct stat other {};
  return stat(path, &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

// Fills `info` from an open descriptor of the object (an O_PATH one will do). `parent` is the
// directory the object was reached from, or null; an object whose mount or device differs from
// its parent's is a mount root.
bool describe(int fd, const os_dir_handle* parent, os_object_info* info, uint32_t* error) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  info->attributes = attributes_of(st.st_mode);
  info->id = os_file_id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  info->links = static_cast<uint32_t>(st.st_nlink);
  info->pseudo = !S_ISLNK(st.st_mode) && is_pseudo_file_system(fd);
  info->root = S_ISDIR(st.st_mode) && same_as(st, "/");
  info->mount_root = false;
  if (S_ISLNK(st.st_mode)) return true;
  uint64_t mount_id = 0;
  bool is_mount_root = false;
  if (mount_of(fd, &mount_id, &is_mount_root)) {
    info->mount_root = is_mount_root;
    if (parent != nullptr && parent->have_mount_id && parent->mount_id != mount_id) {
      info->mount_root = true;
    }
  }
  if (parent != nullptr && parent->device != st.st_dev) info->mount_root = true;
  return true;
}

// An O_PATH descriptor names an object without opening it for I/O: it cannot block on a FIFO,
// adopt a terminal or run a device's open routine, and under O_NOFOLLOW it is the link itself.
int open_object(int dir, const char* name) {
  int fd;
  do {
    fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool matches(int fd, const os_file_id& id) {
  struct stat st {};
  return fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == id.volume &&
         static_cast<uint64_t>(st.st_ino) == id.index;
}

// Whether `name` in `dir` refers to the object `id` right now, links not followed.
bool name_refers_to(int dir, const char* name, const os_file_id& id, bool directory) {
  struct stat st {};
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return false;
  return static_cast<uint64_t>(st.st_dev) == id.volume &&
         static_cast<uint64_t>(st.st_ino) == id.index;
}

os_dir_handle* wrap_directory(int fd) {
  auto* dir = static_cast<os_dir_handle*>(std::malloc(sizeof(os_dir_handle)));
  struct stat st {};
  if (dir == nullptr || fstat(fd, &st) != 0) {
    std::free(dir);
    close(fd);
    return nullptr;
  }
  dir->fd = fd;
  dir->device = st.st_dev;
  bool is_mount_root = false;
  dir->have_mount_id = mount_of(fd, &dir->mount_id, &is_mount_root);
  return dir;
}

}  // namespace

os_dir_handle* os_open_directory(const char* path, uint32_t* error) {
  // O_PATH needs only search permission, as a path lookup through the directory would: a file
  // in a directory the caller may enter but not list can still be shredded.
  int fd;
  do {
    fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  os_dir_handle* dir = wrap_directory(fd);
  if (dir == nullptr) *error = ENOMEM;
  return dir;
}

os_dir_handle* os_open_subdirectory(os_dir_handle* parent, const char* name, os_object_info* info,
                                    uint32_t* error) {
  int fd;
  do {
    fd = openat(fd_of(parent), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  if (!describe(fd, parent, info, error)) {
    close(fd);
    return nullptr;
  }
  os_dir_handle* dir = wrap_directory(fd);
  if (dir == nullptr) *error = ENOMEM;
  return dir;
}

void os_close_directory(os_dir_handle* dir) {
  close(dir->fd);
  std::free(dir);
}

bool os_directory_info(os_dir_handle* dir, os_object_info* info, uint32_t* error) {
  return describe(fd_of(dir), nullptr, info, error);
}

bool os_current_directory_id(os_file_id* id) {
  struct stat st {};
  if (stat(".", &st) != 0) return false;
  *id = os_file_id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool os_stat_at(os_dir_handle* dir, const char* name, os_object_info* info, uint32_t* error) {
  const int fd = open_object(fd_of(dir), name);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  const bool ok = describe(fd, dir, info, error);
  close(fd);
  return ok;
}

void os_clear_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  // The mode is changed through a descriptor of the object itself, after checking that it is
  // still the file that was examined, so a name swapped for a link or another file since then
  // changes nothing. A readable file is opened for reading; one that is not is changed through
  // its O_PATH descriptor by way of /proc, where /proc is mounted.
  int fd = openat(fd_of(dir), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const bool readable = fd >= 0;
  if (!readable) fd = open_object(fd_of(dir), name);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && matches(fd, id)) {
    const mode_t mode = (st.st_mode & 07777) | S_IWUSR;
    if (readable) {
      fchmod(fd, mode);
    } else {
      char through[64];
      std::snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
      chmod(through, mode);
    }
  }
  close(fd);
}

os_handle os_open_exclusive_at(os_dir_handle* dir, const char* name, os_object_info* info,
                               uint32_t* error) {
  // O_NONBLOCK and O_NOCTTY keep an open of something that turned into a FIFO or a terminal
  // since it was examined from blocking or adopting it; the checks below then refuse it.
  int fd;
  do {
    fd = openat(fd_of(dir), name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return OS_INVALID_HANDLE;
  }
  // flock stands in for Windows' share mode 0: other cooperating openers are kept out.
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *error = static_cast<uint32_t>(errno);
    close(fd);
    return OS_INVALID_HANDLE;
  }
  if (!describe(fd, dir, info, error)) {
    close(fd);
    return OS_INVALID_HANDLE;
  }
  if (info->attributes & (OS_ATTR_DIRECTORY | OS_ATTR_DEVICE | OS_ATTR_REPARSE)) {
    *error = (info->attributes & OS_ATTR_DIRECTORY) != 0 ? EISDIR : EINVAL;
    close(fd);
    return OS_INVALID_HANDLE;
  }
  return fd;
}

os_handle os_open_exclusive(const char* path, uint32_t* error) {
  char parent[OS_PATH_MAX];
  char name[OS_NAME_MAX];
  bool trailing = false;
  if (!os_split_path(path, parent, sizeof parent, name, sizeof name, &trailing) ||
      name[0] == '\0') {
    *error = EINVAL;
    return OS_INVALID_HANDLE;
  }
  os_directory dir(os_open_directory(parent, error));
  if (!dir.valid()) return OS_INVALID_HANDLE;
  os_object_info info{};
  return os_open_exclusive_at(dir.get(), name, &info, error);
}

os_handle os_open_shared_read(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return OS_INVALID_HANDLE;
  int rc;
  do {
    rc = flock(fd, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  struct stat st {};
  if (rc != 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return OS_INVALID_HANDLE;
  }
  return fd;
}

bool os_file_size(os_handle file, int64_t* size) {
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

bool os_seek(os_handle file, int64_t offset, uint32_t* error) {
  if (lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) == offset) return true;
  *error = static_cast<uint32_t>(errno);
  return false;
}

bool os_next_data(os_handle file, int64_t from, int64_t size, int64_t* start, int64_t* end) {
  if (from >= size) return false;
  const int fd = static_cast<int>(file);
  const off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
  if (data < 0) {
    // ENXIO: nothing but a hole from here on. Any other failure (a file system without
    // SEEK_DATA) means the rest is taken as data, which is never less than the truth.
    if (errno == ENXIO) return false;
    *start = from;
    *end = size;
    return true;
  }
  if (data >= size) return false;
  off_t hole = lseek(fd, data, SEEK_HOLE);
  if (hole < 0 || hole > size) hole = static_cast<off_t>(size);
  *start = static_cast<int64_t>(data);
  *end = static_cast<int64_t>(hole);
  return true;
}

bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t done = 0;
  // A short write is continued: on a filling disk the continuation is what reports ENOSPC.
  while (done < length) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
    os_test_write_gate();
#endif
    const ssize_t n = write(static_cast<int>(file), bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *written = done;
      *error = static_cast<uint32_t>(errno);
      return false;
    }
    if (n == 0) {  // no progress and no error code: errno still holds an older call's
      *written = done;
      *error = EIO;
      return false;
    }
    done += static_cast<uint32_t>(n);
  }
  *written = done;
  return true;
}

bool os_read(os_handle file, void* data, uint32_t length, uint32_t* got) {
  ssize_t n;
  do {
    n = read(static_cast<int>(file), data, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *got = 0;
    return false;
  }
  *got = static_cast<uint32_t>(n);
  return true;
}

void os_start_writeback(os_handle file, int64_t offset, int64_t length) {
#if defined(__linux__)
  sync_file_range(static_cast<int>(file), offset, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
  (void)offset;
  (void)length;
#endif
}

bool os_flush(os_handle file, uint32_t* error) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (os_test_flush_failure() != 0) {
    *error = os_test_flush_failure();
    return false;
  }
#endif
  int rc;
  do {
    rc = fdatasync(static_cast<int>(file));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  *error = static_cast<uint32_t>(errno);
  return false;
}

void os_truncate_here(os_handle file) {
  const off_t position = lseek(static_cast<int>(file), 0, SEEK_CUR);
  if (position >= 0) ftruncate(static_cast<int>(file), position);
}

void os_close(os_handle file) { close(static_cast<int>(file)); }

// POSIX has no rename or unlink of "this inode": the name is checked against the open file
// right before the call. What remains is the moment between the check and the call; the rename
// to a fresh random name first means that a swap in that moment has to hit a name the attacker
// learns only after the rename.
bool os_rename_open_file(os_dir_handle* dir, const char* name, const char* new_name,
                         os_handle file, const os_file_id& id) {
  (void)file;  // `id` was read from it; on POSIX the name is what must be checked
  if (!name_refers_to(fd_of(dir), name, id, false)) return false;
#if defined(__linux__)
  if (renameat2(fd_of(dir), name, fd_of(dir), new_name, RENAME_NOREPLACE) == 0) {
    if (name_refers_to(fd_of(dir), new_name, id, false)) return true;
    // Another object took the name between the check and the rename, and was renamed in the
    // file's place: it goes back to the name it had, if that is still free.
    renameat2(fd_of(dir), new_name, fd_of(dir), name, RENAME_NOREPLACE);
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Where the file system cannot rename without replacing, a hard link and an unlink give the
  // same no-replace guarantee; without hard links the file keeps its name.
  if (linkat(fd_of(dir), name, fd_of(dir), new_name, 0) != 0) return false;
  if (!name_refers_to(fd_of(dir), new_name, id, false) || unlinkat(fd_of(dir), name, 0) != 0) {
    unlinkat(fd_of(dir), new_name, 0);
    return false;
  }
  return true;
}

bool os_delete_open_file(os_dir_handle* dir, const char* name, os_handle file,
                         const os_file_id& id) {
  (void)file;
  if (!name_refers_to(fd_of(dir), name, id, false)) return false;
  return unlinkat(fd_of(dir), name, 0) == 0;
}

bool os_remove_directory_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  // AT_REMOVEDIR never removes a link or a file, so a swap after the check can cost at most an
  // empty directory of the attacker's own.
  if (!name_refers_to(fd_of(dir), name, id, true)) return false;
  return unlinkat(fd_of(dir), name, AT_REMOVEDIR) == 0;
}

struct os_dir {
  DIR* dir;
};

os_dir* os_list_directory(os_dir_handle* handle) {
  // fdopendir takes the descriptor it is given, so the listing gets one of its own, opened
  // through the held handle (which may be an O_PATH one that cannot be read).
  int fd;
  do {
    fd = openat(fd_of(handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return nullptr;
  }
  auto* listing = static_cast<os_dir*>(std::malloc(sizeof(os_dir)));
  if (listing == nullptr) {
    closedir(dir);
    return nullptr;
  }
  listing->dir = dir;
  return listing;
}

bool os_dir_next(os_dir* dir, const char** name, uint32_t* attributes) {
  const dirent* entry = readdir(dir->dir);
  if (entry == nullptr) return false;
  *name = entry->d_name;
  switch (entry->d_type) {
    case DT_DIR:
      *attributes = OS_ATTR_DIRECTORY;
      return true;
    case DT_LNK:
      *attributes = OS_ATTR_REPARSE;
      return true;
    case DT_REG:
      *attributes = 0;
      return true;
    default:  // unknown to this file system, or a special file: ask without following
      break;
  }
  struct stat st {};
  if (fstatat(dirfd(dir->dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *attributes = 0;  // the file engine will report what is wrong with it
    return true;
  }
  *attributes = attributes_of(st.st_mode);
  return true;
}

void os_dir_close(os_dir* dir) {
  closedir(dir->dir);
  std::free(dir);
}

// A thread's record is shared by the thread and its owner: whichever lets go of it last frees it,
// so that a thread that outlives its owner's wait never touches freed memory.
struct os_thread {
  pthread_t id;
  pthread_mutex_t mutex;
  pthread_cond_t ended_signal;  // on CLOCK_MONOTONIC, so a clock change cannot stretch a wait
  void (*entry)(void*);
  void* arg;
  bool ended;
  bool joined;
  int holders;  // 2 while both the thread and the owner hold the record
};

namespace {

void let_go(os_thread* thread) {
  pthread_mutex_lock(&thread->mutex);
  const bool last = --thread->holders == 0;
  pthread_mutex_unlock(&thread->mutex);
  if (!last) return;
  pthread_cond_destroy(&thread->ended_signal);
  pthread_mutex_destroy(&thread->mutex);
  std::free(thread);
}

void* thread_trampoline(void* raw) {
  auto* thread = static_cast<os_thread*>(raw);
  thread->entry(thread->arg);
  pthread_mutex_lock(&thread->mutex);
  thread->ended = true;
  pthread_cond_broadcast(&thread->ended_signal);
  pthread_mutex_unlock(&thread->mutex);
  let_go(thread);
  return nullptr;
}

}  // namespace

os_thread* os_thread_start(void (*entry)(void* arg), void* arg) {
  auto* thread = static_cast<os_thread*>(std::malloc(sizeof(os_thread)));
  if (thread == nullptr) return nullptr;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&thread->ended_signal, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&thread->mutex, nullptr);
  thread->entry = entry;
  thread->arg = arg;
  thread->ended = false;
  thread->joined = false;
  thread->holders = 2;
  if (pthread_create(&thread->id, nullptr, thread_trampoline, thread) != 0) {
    pthread_cond_destroy(&thread->ended_signal);
    pthread_mutex_destroy(&thread->mutex);
    std::free(thread);
    return nullptr;
  }
  return thread;
}

bool os_thread_wait(os_thread* thread, uint32_t timeout_ms) {
  if (thread->joined) return true;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&thread->mutex);
  int rc = 0;
  while (!thread->ended && rc != ETIMEDOUT) {
    rc = pthread_cond_timedwait(&thread->ended_signal, &thread->mutex, &deadline);
  }
  const bool ended = thread->ended;
  pthread_mutex_unlock(&thread->mutex);
  if (!ended) return false;
  // The thread has left its entry and is on its way out: the join is immediate.
  pthread_join(thread->id, nullptr);
  thread->joined = true;
  return true;
}

void os_thread_release(os_thread* thread) {
  if (!thread->joined) pthread_detach(thread->id);
  let_go(thread);
}
