// Linux free space: the volume's figures, the fill directory and its files, and the ext4 reserve
// that a fill lowers and puts back.
#include "platform/posix/internal.h"

using namespace posix_detail;

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
