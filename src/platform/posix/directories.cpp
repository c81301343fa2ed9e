// POSIX paths and directories: splitting the caller's path, held directories, looking names up
// without following them, the read-only bit, and listings. Everything acts relative to a held
// directory's descriptor (the *at calls), never through a path looked up again.
#include "platform/posix/internal.h"

using namespace posix_detail;

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

namespace posix_detail {

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

}  // namespace posix_detail

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
