// POSIX (Linux) implementation of the platform layer.
//
// Maps the library's Windows-shaped needs onto POSIX calls. EINTR and short transfers are
// handled here so that no module above has to know about them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
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

void os_cond_wait(os_cond* cond, os_lock* lock) { pthread_cond_wait(&cond->cond, &lock->mutex); }

void os_cond_wake_all(os_cond* cond) { pthread_cond_broadcast(&cond->cond); }

uint32_t os_processor_count() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : static_cast<uint32_t>(count);
}

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

bool os_split_path(const char* path, char* parent, size_t parent_size, char* name, size_t name_size,
                   bool* trailing) {
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

bool os_names_directory(os_dir_handle* dir, const char* name, const os_file_id& id) {
  return name_refers_to(fd_of(dir), name, id, true);
}

namespace {

// Adds or removes the owner-write bit of `name` in `dir` through a descriptor of the object
// itself, after checking that it is still the file that was examined, so a name swapped for a
// link or another file since then changes nothing. A readable file is opened for reading; one
// that is not is changed through its O_PATH descriptor by way of /proc, where /proc is mounted.
bool set_owner_write_at(int dir, const char* name, const os_file_id& id, bool writable) {
  int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const bool readable = fd >= 0;
  if (!readable) fd = open_object(dir, name);
  if (fd < 0) return false;
  bool changed = false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && matches(fd, id)) {
    const mode_t mode =
        writable ? (st.st_mode & 07777) | S_IWUSR : (st.st_mode & 07777) & ~mode_t{S_IWUSR};
    if (readable) {
      changed = fchmod(fd, mode) == 0;
    } else {
      char through[64];
      std::snprintf(through, sizeof through, "/proc/self/fd/%d", fd);
      changed = chmod(through, mode) == 0;
    }
  }
  close(fd);
  return changed;
}

}  // namespace

bool os_clear_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  return set_owner_write_at(fd_of(dir), name, id, true);
}

void os_restore_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  set_owner_write_at(fd_of(dir), name, id, false);
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

namespace {

constexpr int kNoExtentMap = -1;

// The next data range from the file's extent map, contiguous extents joined. Every extent the
// file system reports is data: unwritten ones (preallocation, FALLOC_FL_ZERO_RANGE) keep the
// blocks that held the old contents, and SEEK_DATA would call them holes. No FIEMAP_FLAG_SYNC:
// delayed extents are reported as such, and forcing every dirty page out before each look would
// cost a write of its own. 1 with a range, 0 when [from, limit) holds none, kNoExtentMap when
// the file system keeps no extent map.
int next_extent(int fd, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  constexpr uint32_t kBatch = 32;
  alignas(struct fiemap) unsigned char
      buffer[sizeof(struct fiemap) + kBatch * sizeof(struct fiemap_extent)];
  std::memset(buffer, 0, sizeof buffer);
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  map->fm_start = static_cast<uint64_t>(from);
  map->fm_length = static_cast<uint64_t>(limit - from);
  map->fm_flags = 0;
  map->fm_extent_count = kBatch;
  int rc;
  do {
    rc = ioctl(fd, FS_IOC_FIEMAP, map);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EOPNOTSUPP || errno == ENOTTY || errno == ENOSYS) return kNoExtentMap;
    // A map that exists but cannot be read now: the rest is taken as data.
    *start = from;
    *end = limit;
    return 1;
  }
  if (map->fm_mapped_extents == 0) return 0;
  const struct fiemap_extent* extent = map->fm_extents;
  int64_t first = static_cast<int64_t>(extent->fe_logical);
  int64_t last = first + static_cast<int64_t>(extent->fe_length);
  for (uint32_t i = 1; i < map->fm_mapped_extents; ++i) {
    if (static_cast<int64_t>(map->fm_extents[i].fe_logical) != last) break;
    last += static_cast<int64_t>(map->fm_extents[i].fe_length);
  }
  if (first < from) first = from;
  if (last > limit) last = limit;
  if (first >= last) return 0;
  *start = first;
  *end = last;
  return 1;
}

// Whether the file system keeps an extent map for this file: a query that counts the extents of
// its first byte costs little more than the call.
bool has_extent_map(int fd) {
  // A buffer rather than a struct fiemap variable: the struct ends in a zero-length array, which
  // pedantic C++ refuses to instantiate.
  alignas(struct fiemap) unsigned char buffer[sizeof(struct fiemap)] = {};
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  map->fm_start = 0;
  map->fm_length = 1;
  map->fm_extent_count = 0;
  int rc;
  do {
    rc = ioctl(fd, FS_IOC_FIEMAP, map);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

bool os_next_data(os_handle file, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  if (from < 0) from = 0;
  if (from >= limit) return false;
  const int fd = static_cast<int>(file);
  const int extent = next_extent(fd, from, limit, start, end);
  if (extent != kNoExtentMap) return extent == 1;
  // Without an extent map SEEK_DATA is the best there is: file systems that have none (tmpfs)
  // know no unwritten ranges either. It moves the file position, which callers may be writing
  // at, so the position is put back.
  const off_t position = lseek(fd, 0, SEEK_CUR);
  const off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
  const int data_error = errno;
  off_t hole = data >= 0 && data < limit ? lseek(fd, data, SEEK_HOLE) : -1;
  if (position >= 0) lseek(fd, position, SEEK_SET);
  if (data < 0) {
    // ENXIO: nothing but a hole from here on. Any other failure (a file system without
    // SEEK_DATA) means the rest is taken as data, which is never less than the truth.
    if (data_error == ENXIO) return false;
    *start = from;
    *end = limit;
    return true;
  }
  if (data >= limit) return false;
  if (hole < 0 || hole > limit) hole = static_cast<off_t>(limit);
  *start = static_cast<int64_t>(data);
  *end = static_cast<int64_t>(hole);
  return true;
}

bool os_has_block_map(os_handle file) { return has_extent_map(static_cast<int>(file)); }

bool os_file_allocation(os_handle file, os_allocation* allocation) {
#if defined(STATX_SIZE) && defined(STATX_BLOCKS)
  // Only size and blocks are asked for: NFS writes dirty pages out before it answers for times.
  struct statx sx {};
  if (statx(static_cast<int>(file), "", AT_EMPTY_PATH, STATX_SIZE | STATX_BLOCKS, &sx) == 0 &&
      (sx.stx_mask & (STATX_SIZE | STATX_BLOCKS)) == (STATX_SIZE | STATX_BLOCKS)) {
    allocation->size = static_cast<int64_t>(sx.stx_size);
    allocation->allocated = static_cast<int64_t>(sx.stx_blocks) * 512;
    return true;
  }
#endif
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  allocation->size = static_cast<int64_t>(st.st_size);
  allocation->allocated = static_cast<int64_t>(st.st_blocks) * 512;
  return true;
}

bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t done = 0;
  // A short write is continued: on a filling disk the continuation is what reports ENOSPC.
  while (done < length) {
    uint32_t room = length - done;
#if defined(KELVARIN_SHRED_TEST_SEAMS)
    os_test_write_gate();
    struct stat st {};
    const off_t position = lseek(static_cast<int>(file), 0, SEEK_CUR);
    if (position >= 0 && fstat(static_cast<int>(file), &st) == 0) {
      room = os_test_disk_room(position, st.st_size, room);
    }
    if (room == 0) {
      *written = done;
      *error = ENOSPC;
      return false;
    }
#endif
    const ssize_t n = write(static_cast<int>(file), bytes + done, room);
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
bool os_rename_open_file(os_dir_handle* dir, const char* name, const char* new_name, os_handle file,
                         const os_file_id& id) {
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

// ---- Storage facts -----------------------------------------------------------------------------
//
// Everything here only reads: the object is opened read-only (or not at all when it is not a
// regular file or a directory), and the rest comes from /proc/self/mountinfo and sysfs.

namespace {

// How many stacked devices (a loop device over a file on another loop device, a mapping over a
// partition) are followed before the medium is given up as unknown.
constexpr int kMaxDeviceDepth = 6;

// What /proc/self/mountinfo says about one mount.
struct mount_record {
  char filesystem[32];
  char options[512];
  unsigned major;
  unsigned minor;
  char source[OS_PATH_MAX];
};

// Copies `text` into a fixed field, cut to fit and always terminated.
void copy_field(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

// Appends the comma-separated options of `list` to `out`, whole options only: an option that
// does not fit is left out rather than cut, so that no half-word ("data=jour") is ever reported.
void append_options(char* out, size_t size, const char* list) {
  const char* start = list;
  while (*start != '\0') {
    const char* end = std::strchr(start, ',');
    const size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
    const size_t used = std::strlen(out);
    const size_t needed = length + (used > 0 ? 1 : 0);
    if (length > 0 && used + needed < size) {
      if (used > 0) out[used] = ',';
      std::memcpy(out + used + (used > 0 ? 1 : 0), start, length);
      out[used + needed] = '\0';
    }
    if (end == nullptr) break;
    start = end + 1;
  }
}

// mountinfo writes space, tab, newline and backslash in paths as three-digit octal escapes.
void unescape_octal(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++out) {
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
        in[3] >= '0' && in[3] <= '7') {
      *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
      in += 4;
    } else {
      *out = *in++;
    }
  }
  *out = '\0';
}

// Splits one mountinfo line in place ("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3
// /dev/root rw,errors=continue") and keeps it when it is the mount sought: the one whose id is
// `mount_id`, or, where the id is unknown, the last one of device `device`. The optional fields
// between the mount options and the "-" vary in number, so the fields after them are found by
// the separator, not by position.
bool parse_mount_line(char* line, bool by_id, uint64_t mount_id, dev_t device,
                      mount_record* record) {
  char* fields[6] = {};
  char* save = nullptr;
  char* token = strtok_r(line, " \n", &save);
  for (int i = 0; i < 6 && token != nullptr; ++i) {
    fields[i] = token;
    token = strtok_r(nullptr, " \n", &save);
  }
  while (token != nullptr && std::strcmp(token, "-") != 0) token = strtok_r(nullptr, " \n", &save);
  if (fields[5] == nullptr || token == nullptr) return false;
  char* type = strtok_r(nullptr, " \n", &save);
  char* source = strtok_r(nullptr, " \n", &save);
  char* super_options = strtok_r(nullptr, " \n", &save);
  unsigned major_number = 0;
  unsigned minor_number = 0;
  if (type == nullptr || std::sscanf(fields[2], "%u:%u", &major_number, &minor_number) != 2) {
    return false;
  }
  if (by_id ? std::strtoull(fields[0], nullptr, 10) != mount_id
            : makedev(major_number, minor_number) != device) {
    return false;
  }
  copy_field(record->filesystem, sizeof record->filesystem, type);
  record->options[0] = '\0';
  append_options(record->options, sizeof record->options, fields[5]);
  if (super_options != nullptr)
    append_options(record->options, sizeof record->options, super_options);
  record->major = major_number;
  record->minor = minor_number;
  copy_field(record->source, sizeof record->source, source != nullptr ? source : "");
  unescape_octal(record->source);
  return true;
}

// Finds the mount an open object lives on. False when /proc is not mounted or no line matches.
bool find_mount(int fd, mount_record* record) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  uint64_t mount_id = 0;
  bool is_mount_root = false;
  const bool by_id = mount_of(fd, &mount_id, &is_mount_root);
  FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (table == nullptr) return false;
  char* line = nullptr;
  size_t capacity = 0;
  bool found = false;
  while (getline(&line, &capacity, table) >= 0) {
    if (parse_mount_line(line, by_id, mount_id, st.st_dev, record)) {
      found = true;
      if (by_id) break;  // ids are unique; a device may be mounted several times, the last wins
    }
  }
  std::free(line);
  std::fclose(table);
  return found;
}

// The name of a file system from its magic number, for when /proc is not there to ask. ext2,
// ext3 and ext4 share one number; the ext4 driver serves all three.
const char* filesystem_by_magic(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return "";
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:
      return "ext4";
    case BTRFS_SUPER_MAGIC:
      return "btrfs";
    case XFS_SUPER_MAGIC:
      return "xfs";
    case TMPFS_MAGIC:
      return "tmpfs";
    case RAMFS_MAGIC:
      return "ramfs";
    case OVERLAYFS_SUPER_MAGIC:
      return "overlay";
    case NFS_SUPER_MAGIC:
      return "nfs";
    case SMB_SUPER_MAGIC:
      return "smb";
    case 0xFF534D42UL:
      return "cifs";
    case 0xFE534D42UL:
      return "smb3";
    case V9FS_MAGIC:
      return "9p";
    case FUSE_SUPER_MAGIC:
      return "fuse";
    case 0x2FC12FC1UL:
      return "zfs";
    case 0xCA451A4EUL:
      return "bcachefs";
    case NILFS_SUPER_MAGIC:
      return "nilfs2";
    case F2FS_SUPER_MAGIC:
      return "f2fs";
    case MSDOS_SUPER_MAGIC:
      return "vfat";
    case EXFAT_SUPER_MAGIC:
      return "exfat";
    case 0x5346544EUL:
      return "ntfs";
    case 0x3153464AUL:
      return "jfs";
    case REISERFS_SUPER_MAGIC:
      return "reiserfs";
    case SQUASHFS_MAGIC:
      return "squashfs";
    case ISOFS_SUPER_MAGIC:
      return "iso9660";
    case UDF_SUPER_MAGIC:
      return "udf";
    case CEPH_SUPER_MAGIC:
      return "ceph";
    case AFS_FS_MAGIC:
      return "afs";
    case ECRYPTFS_SUPER_MAGIC:
      return "ecryptfs";
    default:
      return "";
  }
}

// Reads a small sysfs attribute, trailing newline removed. False when it does not exist.
bool read_attribute(const char* path, char* out, size_t size) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = read(fd, out, size - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) return false;
  out[n] = '\0';
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' ')) out[--n] = '\0';
  return true;
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

os_medium medium_of_device(dev_t device, int depth);
os_medium medium_of_open_object(int fd, int depth);

// The medium of a device-mapper or md device: flash as soon as one member is flash, rotational
// when every member is. `found` says whether the device has members at all.
os_medium medium_of_members(const char* device_dir, int depth, bool* found) {
  char path[128];
  std::snprintf(path, sizeof path, "%s/slaves", device_dir);
  *found = false;
  DIR* members = opendir(path);
  if (members == nullptr) return OS_MEDIUM_UNKNOWN;
  bool all_rotational = true;
  bool any_flash = false;
  while (const dirent* entry = readdir(members)) {
    if (entry->d_name[0] == '.') continue;
    *found = true;
    char dev_path[sizeof path + OS_NAME_MAX + 8];
    char numbers[32];
    unsigned major_number = 0;
    unsigned minor_number = 0;
    std::snprintf(dev_path, sizeof dev_path, "%s/%s/dev", path, entry->d_name);
    os_medium member = OS_MEDIUM_UNKNOWN;
    if (read_attribute(dev_path, numbers, sizeof numbers) &&
        std::sscanf(numbers, "%u:%u", &major_number, &minor_number) == 2) {
      member = medium_of_device(makedev(major_number, minor_number), depth + 1);
    }
    if (member == OS_MEDIUM_FLASH) any_flash = true;
    if (member != OS_MEDIUM_ROTATIONAL) all_rotational = false;
  }
  closedir(members);
  if (any_flash) return OS_MEDIUM_FLASH;
  return *found && all_rotational ? OS_MEDIUM_ROTATIONAL : OS_MEDIUM_UNKNOWN;
}

// Whether a block device keeps its data on spinning disks. A loop device is judged by the device
// under its backing file, since the loop driver's own flag says nothing about the disk.
os_medium medium_of_device(dev_t device, int depth) {
  if (depth > kMaxDeviceDepth || major(device) == 0) return OS_MEDIUM_UNKNOWN;
  char device_dir[96];
  std::snprintf(device_dir, sizeof device_dir, "/sys/dev/block/%u:%u", major(device),
                minor(device));
  char path[OS_PATH_MAX];
  char value[OS_PATH_MAX];
  // A partition has no queue of its own; the disk that holds it is its sysfs parent. The kernel
  // resolves the symbolic link before the "..", so the path leads to the disk's directory.
  std::snprintf(path, sizeof path, "%s/partition", device_dir);
  if (exists(path)) {
    std::snprintf(path, sizeof path, "%s/../queue/rotational", device_dir);
  } else {
    std::snprintf(path, sizeof path, "%s/loop/backing_file", device_dir);
    if (read_attribute(path, value, sizeof value)) {
      int backing;
      do {
        backing = open(value, O_PATH | O_CLOEXEC);
      } while (backing < 0 && errno == EINTR);
      if (backing < 0) return OS_MEDIUM_UNKNOWN;  // gone, or outside this mount namespace
      const os_medium medium = medium_of_open_object(backing, depth + 1);
      close(backing);
      return medium;
    }
    bool has_members = false;
    const os_medium medium = medium_of_members(device_dir, depth, &has_members);
    if (has_members) return medium;
    std::snprintf(path, sizeof path, "%s/queue/rotational", device_dir);
  }
  if (!read_attribute(path, value, sizeof value)) return OS_MEDIUM_UNKNOWN;
  if (std::strcmp(value, "1") == 0) return OS_MEDIUM_ROTATIONAL;
  return std::strcmp(value, "0") == 0 ? OS_MEDIUM_FLASH : OS_MEDIUM_UNKNOWN;
}

// The block device a mount reads from. Btrfs (and other file systems that hand out anonymous
// device numbers) shows 0:NN in mountinfo, so its source device node is asked instead.
dev_t device_of_mount(const mount_record& record) {
  if (record.major != 0) return makedev(record.major, record.minor);
  struct stat st {};
  if (record.source[0] == '/' && stat(record.source, &st) == 0 && S_ISBLK(st.st_mode)) {
    return st.st_rdev;
  }
  return makedev(0, 0);
}

os_medium medium_of_open_object(int fd, int depth) {
  mount_record record{};
  if (find_mount(fd, &record)) return medium_of_device(device_of_mount(record), depth);
  struct stat st {};
  if (fstat(fd, &st) != 0) return OS_MEDIUM_UNKNOWN;
  return medium_of_device(st.st_dev, depth);
}

// Walks the file's extent map in batches and records what the extents say about where its data
// is. False when the file system has no extent map to give (or the object is not a file).
bool read_extents(int fd, os_storage* storage) {
  constexpr uint32_t kBatch = 64;
  alignas(struct fiemap) unsigned char
      buffer[sizeof(struct fiemap) + kBatch * sizeof(struct fiemap_extent)];
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  uint64_t start = 0;
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    map->fm_flags = FIEMAP_FLAG_SYNC;  // delayed allocation would otherwise show no extents
    map->fm_extent_count = kBatch;
    int rc;
    do {
      rc = ioctl(fd, FS_IOC_FIEMAP, map);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return start > 0;  // a failure part way keeps what was already seen
    if (map->fm_mapped_extents == 0) return true;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const uint32_t flags = map->fm_extents[i].fe_flags;
      if (flags & FIEMAP_EXTENT_SHARED) storage->shared_extents = true;
      if (flags & (FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL)) {
        storage->inline_data = true;
      }
      if (flags & (FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_ENCRYPTED)) {
        storage->encoded_extents = true;
      }
    }
    const struct fiemap_extent& last = map->fm_extents[map->fm_mapped_extents - 1];
    if (last.fe_flags & FIEMAP_EXTENT_LAST) return true;
    if (storage->shared_extents && storage->inline_data && storage->encoded_extents) return true;
    const uint64_t next = last.fe_logical + last.fe_length;
    if (next <= start || next >= FIEMAP_MAX_OFFSET) return true;
    start = next;
  }
}

// Opens the object for reading its facts without ever opening it for writing: first as a bare
// O_PATH name (a link is refused there), then, for a regular file or a directory only, read-only,
// checked to be the same object. Anything else (a device node, a FIFO) keeps its O_PATH
// descriptor, so no driver's open routine runs; *readable says which kind was returned.
int open_for_facts(int dir, const char* name, bool* readable, uint32_t* error) {
  const char* target = name[0] == '\0' ? "." : name;
  const int probe = open_object(dir, target);
  if (probe < 0) {
    *error = static_cast<uint32_t>(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(probe, &st) != 0) {
    *error = static_cast<uint32_t>(errno);
    close(probe);
    return -1;
  }
  if (S_ISLNK(st.st_mode)) {
    *error = ELOOP;
    close(probe);
    return -1;
  }
  *readable = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
  if (!*readable) return probe;
  const int flags = S_ISDIR(st.st_mode) ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC
                                        : O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd;
  do {
    fd = openat(dir, target, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    close(probe);
    return -1;
  }
  const os_file_id id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  close(probe);
  if (!matches(fd, id)) {  // the name was given to another object in between
    *error = EAGAIN;
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool os_storage_facts(os_dir_handle* dir, const char* name, os_storage* storage, uint32_t* error) {
  *storage = os_storage{};
  bool readable = false;
  const int fd = open_for_facts(fd_of(dir), name, &readable, error);
  if (fd < 0) return false;

  mount_record record{};
  if (find_mount(fd, &record)) {
    copy_field(storage->filesystem, sizeof storage->filesystem, record.filesystem);
    copy_field(storage->mount_options, sizeof storage->mount_options, record.options);
    storage->medium = medium_of_device(device_of_mount(record), 0);
  } else {
    copy_field(storage->filesystem, sizeof storage->filesystem, filesystem_by_magic(fd));
    storage->medium = medium_of_open_object(fd, 0);
  }
  // Whether a file system is remote is the caller's judgement from its name on Linux: the
  // kernel has no single flag for it.
  storage->remote = false;

  if (readable) {
    int flags = 0;  // the ioctl takes an int whatever its declaration says
    int rc;
    do {
      rc = ioctl(fd, FS_IOC_GETFLAGS, &flags);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      storage->nocow = (flags & FS_NOCOW_FL) != 0;
      storage->compressed = (flags & FS_COMPR_FL) != 0;
      storage->encrypted = (flags & FS_ENCRYPT_FL) != 0;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      storage->extents_known = read_extents(fd, storage);
    }
  }
  close(fd);
  return true;
}

// ---- Free space -------------------------------------------------------------------------------

bool os_volume_space_of(os_dir_handle* dir, os_volume_space* space, uint32_t* error) {
  struct statvfs vfs {};
  int rc;
  do {
    rc = fstatvfs(fd_of(dir), &vfs);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  const auto unit = static_cast<int64_t>(vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize);
  // Root may write into the blocks kept for the administrator; everyone else may not. btrfs
  // counts raw device space in f_bfree, metadata's second copy included, which no data write
  // can take; its f_bavail is the free space data can reach.
  struct statfs fs {};
  const bool btrfs =
      fstatfs(fd_of(dir), &fs) == 0 && static_cast<unsigned long>(fs.f_type) == BTRFS_SUPER_MAGIC;
  space->free = static_cast<int64_t>(btrfs ? vfs.f_bavail : vfs.f_bfree) * unit;
  space->available = geteuid() == 0 ? space->free : static_cast<int64_t>(vfs.f_bavail) * unit;
  space->total = static_cast<int64_t>(vfs.f_blocks) * unit;
  space->block_size = static_cast<uint32_t>(unit);
  space->read_only = (vfs.f_flag & ST_RDONLY) != 0;
  return true;
}

bool os_make_directory_at(os_dir_handle* dir, const char* name, uint32_t* error) {
  // mkdirat never follows or replaces an existing name: a link planted there makes it fail.
  if (mkdirat(fd_of(dir), name, 0700) == 0) return true;
  *error = static_cast<uint32_t>(errno);
  return false;
}

bool os_is_name_taken(uint32_t error) { return error == EEXIST; }

os_handle os_create_file_at(os_dir_handle* dir, const char* name, os_object_info* info,
                            uint32_t* error) {
  int fd;
  do {
    fd = openat(fd_of(dir), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return OS_INVALID_HANDLE;
  }
  *error = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !describe(fd, dir, info, error)) {
    if (*error == 0) *error = static_cast<uint32_t>(errno);
    unlinkat(fd_of(dir), name, 0);  // O_EXCL made it ours
    close(fd);
    return OS_INVALID_HANDLE;
  }
  return fd;
}

bool os_is_disk_full(uint32_t error) { return error == ENOSPC || error == EDQUOT; }

bool os_remove_file_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  // Locks on POSIX are advisory: neither the cut nor the unlink asks for one, so a process that
  // holds or locks the file cannot keep the disk full. The cut goes through a descriptor of its
  // own, checked to be the file, since unlinking alone frees nothing while another opener
  // remains.
  int fd;
  do {
    fd = openat(fd_of(dir), name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && matches(fd, id)) ftruncate(fd, 0);
    close(fd);
  }
  if (!name_refers_to(fd_of(dir), name, id, false)) return false;
  return unlinkat(fd_of(dir), name, 0) == 0;
}

bool os_owned_by_caller(os_dir_handle* dir) {
  struct stat st {};
  return fstat(fd_of(dir), &st) == 0 && st.st_uid == geteuid();
}

void os_flush_volume(os_dir_handle* dir) {
  // syncfs needs a descriptor open for more than O_PATH.
  int fd;
  do {
    fd = openat(fd_of(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    sync();
    return;
  }
  syncfs(fd);
  close(fd);
}

namespace {

// The reserves lowered by this process, so that overlapping wipes of one file system restore the
// value that was there before the first of them.
struct lowered_reserve {
  char control[96];  // the sysfs file, empty when the slot is free
  char saved[32];    // its value before the first lowering
  int users;
};
constexpr int kReserveSlots = 8;
os_lock g_reserve_lock = OS_LOCK_INIT;
lowered_reserve g_reserves[kReserveSlots];

bool write_attribute(const char* path, const char* value) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const size_t length = std::strlen(value);
  const bool ok = write(fd, value, length) == static_cast<ssize_t>(length);
  close(fd);
  return ok;
}

// ext4 publishes its reserve per block device under /sys/fs/ext4/<device name>; the name is the
// one the kernel gives the device number in /sys/dev/block.
bool reserve_control(int fd, char* control, size_t size, int64_t* cluster_bytes) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
  char target[OS_PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* device = std::strrchr(target, '/');
  device = device != nullptr ? device + 1 : target;
  const int length = std::snprintf(control, size, "/sys/fs/ext4/%s/reserved_clusters", device);
  if (length < 0 || static_cast<size_t>(length) >= size || !exists(control)) return false;
  // A cluster is one block unless the file system was made with bigalloc, which sysfs does not
  // tell; there the kept bytes are under-reported, never over-reported.
  struct statvfs vfs {};
  if (fstatvfs(fd, &vfs) != 0) return false;
  *cluster_bytes = static_cast<int64_t>(vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize);
  return true;
}

// Under g_reserve_lock: the slot of this process that holds `control` lowered, or -1.
int active_slot(const char* control) {
  for (int i = 0; i < kReserveSlots; ++i) {
    if (g_reserves[i].users > 0 && std::strcmp(g_reserves[i].control, control) == 0) return i;
  }
  return -1;
}

constexpr char kTokenPrefix[] = "ext4_reserve_";
constexpr size_t kMostReserveDigits = 18;  // below 2^63: the kernel's own limit is far lower

}  // namespace

void os_lower_reserve(os_dir_handle* dir, os_reserve* reserve) {
  *reserve = os_reserve{0, false, -1};
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (os_test_disk_limited()) return;  // a test's pretended full disk needs no real reserve
#endif
  char control[96];
  int64_t cluster_bytes = 0;
  if (!reserve_control(fd_of(dir), control, sizeof control, &cluster_bytes)) return;
  os_lock_guard hold(&g_reserve_lock);
  const int active = active_slot(control);
  if (active >= 0) {
    ++g_reserves[active].users;  // already lowered by an overlapping wipe
    *reserve = os_reserve{0, true, active};
    return;
  }
  char value[32];
  if (!read_attribute(control, value, sizeof value)) return;
  const long long clusters = std::strtoll(value, nullptr, 10);
  reserve->kept_bytes = clusters > 0 ? clusters * cluster_bytes : 0;
  if (clusters <= 0) return;
  for (int i = 0; i < kReserveSlots; ++i) {
    if (g_reserves[i].users != 0) continue;
    if (!write_attribute(control, "0")) return;  // not root: the reserve stays, and is reported
    copy_field(g_reserves[i].control, sizeof g_reserves[i].control, control);
    copy_field(g_reserves[i].saved, sizeof g_reserves[i].saved, value);
    g_reserves[i].users = 1;
    *reserve = os_reserve{0, true, i};
    return;
  }
}

void os_restore_reserve(os_reserve* reserve) {
  if (!reserve->lowered || reserve->slot < 0 || reserve->slot >= kReserveSlots) return;
  os_lock_guard hold(&g_reserve_lock);
  lowered_reserve& slot = g_reserves[reserve->slot];
  if (--slot.users == 0) {
    write_attribute(slot.control, slot.saved);
    slot.control[0] = '\0';
  }
  reserve->lowered = false;
}

void os_reserve_token(os_dir_handle* dir, char (&token)[OS_RESERVE_TOKEN_MAX]) {
  copy_field(token, sizeof token, "none");
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  if (os_test_disk_limited()) return;
#endif
  char control[96];
  int64_t cluster_bytes = 0;
  if (!reserve_control(fd_of(dir), control, sizeof control, &cluster_bytes)) return;
  if (access(control, W_OK) != 0) return;  // os_lower_reserve could not lower it either
  os_lock_guard hold(&g_reserve_lock);
  char value[32];
  const int active = active_slot(control);
  if (active >= 0) {
    copy_field(value, sizeof value, g_reserves[active].saved);
  } else if (!read_attribute(control, value, sizeof value)) {
    return;
  }
  // Only what os_lower_reserve would save: a positive count of clusters in plain digits.
  const size_t digits = std::strspn(value, "0123456789");
  if (digits == 0 || digits > kMostReserveDigits || value[digits] != '\0' ||
      std::strtoll(value, nullptr, 10) <= 0) {
    return;
  }
  static_assert(kMostReserveDigits == 18, "the format below bounds the digits for the compiler");
  std::snprintf(token, sizeof token, "%s%.18s", kTokenPrefix, value);
}

void os_put_back_reserve(os_dir_handle* dir, const char* token) {
  const size_t prefix = sizeof kTokenPrefix - 1;
  if (std::strncmp(token, kTokenPrefix, prefix) != 0) return;
  const char* value = token + prefix;
  const size_t digits = std::strspn(value, "0123456789");
  if (digits == 0 || digits > kMostReserveDigits || value[digits] != '\0') return;
  char control[96];
  int64_t cluster_bytes = 0;
  if (!reserve_control(fd_of(dir), control, sizeof control, &cluster_bytes)) return;
  os_lock_guard hold(&g_reserve_lock);
  if (active_slot(control) >= 0) return;
  // A killed wipe left zero; anything else was set since (by hand, or by a mount after a
  // restart) and is not this record's to change.
  char now[32];
  if (!read_attribute(control, now, sizeof now) || std::strcmp(now, "0") != 0) return;
  write_attribute(control, value);
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
