// POSIX (Linux) implementation of the platform layer.
//
// Maps the library's Windows-shaped needs onto POSIX calls. EINTR and short transfers are
// handled here so that no module above has to know about them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

uint32_t os_get_attributes(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return OS_ATTR_INVALID;
  return attributes_of(st.st_mode);
}

void os_clear_readonly(const char* path, uint32_t /*attributes*/) {
  struct stat st {};
  if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) return;
  // AT_SYMLINK_NOFOLLOW makes a link swapped in since the lstat a failure, not a chmod of its
  // target.
  fchmodat(AT_FDCWD, path, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
}

char os_separator() { return '/'; }

// A backslash is an ordinary file-name character on POSIX.
bool os_is_separator(char c) { return c == '/'; }

os_handle os_open_exclusive(const char* path, uint32_t* error) {
  // O_NONBLOCK and O_NOCTTY keep an open of something that turned into a FIFO or a terminal
  // since the attribute check from blocking or adopting it; the fstat below then refuses it.
  const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
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
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    return OS_INVALID_HANDLE;
  }
  return fd;
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

bool os_seek_start(os_handle file) { return lseek(static_cast<int>(file), 0, SEEK_SET) == 0; }

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
    if (n == 0) {  // no progress and no error: report what the kernel last said
      *written = done;
      *error = static_cast<uint32_t>(errno);
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

void os_flush(os_handle file) { fdatasync(static_cast<int>(file)); }

void os_truncate_here(os_handle file) {
  const off_t position = lseek(static_cast<int>(file), 0, SEEK_CUR);
  if (position >= 0) ftruncate(static_cast<int>(file), position);
}

void os_close(os_handle file) { close(static_cast<int>(file)); }

bool os_rename(const char* from, const char* to) {
#if defined(__linux__)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Where the file system cannot rename without replacing, a hard link and an unlink give the
  // same no-replace guarantee; without hard links the file keeps its name.
  if (link(from, to) != 0) return false;
  if (unlink(from) != 0) {
    unlink(to);
    return false;
  }
  return true;
}

void os_delete_file(const char* path) { unlink(path); }

struct os_dir {
  DIR* dir;
};

os_dir* os_dir_open(const char* path) {
  // A trailing slash makes the kernel follow a link in the last component even under
  // O_NOFOLLOW, so the name is opened without it.
  char bare[OS_PATH_MAX];
  size_t length = std::strlen(path);
  if (length >= sizeof bare) return nullptr;
  std::memcpy(bare, path, length + 1);
  while (length > 1 && bare[length - 1] == '/') bare[--length] = '\0';

  const int fd = open(bare, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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

void os_remove_directory(const char* path) { rmdir(path); }

struct os_thread {
  pthread_t id;
  bool joined;
};

namespace {

struct thread_start {
  void (*entry)(void*);
  void* arg;
};

void* thread_trampoline(void* raw) {
  const thread_start start = *static_cast<thread_start*>(raw);
  std::free(raw);
  start.entry(start.arg);
  return nullptr;
}

}  // namespace

os_thread* os_thread_start(void (*entry)(void* arg), void* arg) {
  auto* thread = static_cast<os_thread*>(std::malloc(sizeof(os_thread)));
  auto* start = static_cast<thread_start*>(std::malloc(sizeof(thread_start)));
  if (thread == nullptr || start == nullptr) {
    std::free(thread);
    std::free(start);
    return nullptr;
  }
  *start = thread_start{entry, arg};
  if (pthread_create(&thread->id, nullptr, thread_trampoline, start) != 0) {
    std::free(thread);
    std::free(start);
    return nullptr;
  }
  thread->joined = false;
  return thread;
}

bool os_thread_wait(os_thread* thread, uint32_t timeout_ms) {
  if (thread->joined) return true;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc;
  do {
    rc = pthread_timedjoin_np(thread->id, nullptr, &deadline);
  } while (rc == EINTR);
  thread->joined = rc == 0;
  return thread->joined;
}

void os_thread_release(os_thread* thread) {
  if (!thread->joined) pthread_detach(thread->id);
  std::free(thread);
}
