// POSIX files: the exclusive open through a held directory, reads, writes (EINTR and short
// writes handled here), flushes, the cut, and the rename and deletion of an open file by
// identity.
#include "platform/posix/internal.h"

using namespace posix_detail;

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
