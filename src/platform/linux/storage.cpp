// Linux storage facts for the assessment: the file system (fstatfs, mountinfo), the medium
// (sysfs), per-file flags and extents.
#include "platform/posix/internal.h"

using namespace posix_detail;

namespace posix_detail {

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

}  // namespace posix_detail

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
