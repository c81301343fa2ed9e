// The POSIX platform layer's own shared parts: the held directory's record and the helpers
// that its files, directories, storage facts and free-space code all use. Seen only by the
// files of src/platform/posix/ and src/platform/linux/; the modules see platform.h alone.
#ifndef KELVARIN_SHRED_PLATFORM_POSIX_INTERNAL_H
#define KELVARIN_SHRED_PLATFORM_POSIX_INTERNAL_H

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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/test_seams.h"

struct os_dir_handle {
  int fd;
  // Read once when the directory is opened, for comparing each entry with it.
  dev_t device;
  uint64_t mount_id;
  bool have_mount_id;
};

namespace posix_detail {

// The attribute bits of a mode, links not followed.
uint32_t attributes_of(mode_t mode);
int fd_of(os_dir_handle* dir);
// Whether the open object lies on a kernel pseudo file system (/proc, /sys, ...).
bool is_pseudo_file_system(int fd);
// The mount the open object is on, and whether it is that mount's root.
bool mount_of(int fd, uint64_t* mount_id, bool* is_mount_root);
bool same_as(const struct stat& st, const char* path);
// Describes an open object; `parent` (may be null) is the held directory it was found in.
bool describe(int fd, const os_dir_handle* parent, os_object_info* info, uint32_t* error);
// Opens `name` in `dir` as an O_PATH descriptor, never following a link.
int open_object(int dir, const char* name);
// Whether the open object is `id`.
bool matches(int fd, const os_file_id& id);
// Whether `name` in `dir` still refers to `id` (and is a directory, or not one).
bool name_refers_to(int dir, const char* name, const os_file_id& id, bool directory);
os_dir_handle* wrap_directory(int fd);
// Reads a one-line sysfs attribute, its newline dropped.
bool read_attribute(const char* path, char* out, size_t size);

// Copies a text into a fixed field, cut to fit.
inline void copy_field(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text);
}

inline bool exists(const char* path) { return access(path, F_OK) == 0; }

}  // namespace posix_detail

#endif  // KELVARIN_SHRED_PLATFORM_POSIX_INTERNAL_H
