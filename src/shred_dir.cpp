// The directory walk: lists a directory once, hands each file to the file engine as it comes up,
// walks subdirectories depth first when asked to, and removes a directory only when nothing in it
// failed. Each level is opened relative to its parent's handle, never through a link, and listed
// through its own handle, so a directory swapped for a link in mid-walk cannot lead the walk out
// of the tree; a level that another process moves elsewhere is left as it is and the walk fails.
// Nothing is gathered before acting and nothing is kept after the call.
#include "shred_dir.h"

#include <cstring>

#include "platform/platform.h"
#include "shred_report.h"

namespace {

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Where the walk found a held directory: the entry `name` of the held directory `parent`. Each
// level links to the level above it, up to the requested directory, so that the chain says
// whether every level is still where the walk entered it.
struct place {
  os_dir_handle* parent;
  const char* name;
  os_file_id id;
  const place* up;
};

// False when some level from `here` up has been renamed away from its entry (moved out of the
// tree, or removed) since the walk entered it. The handles would go on working at the new place,
// but emptying a directory someone took out of the tree is not what was asked, and reporting it
// as destroyed would be false.
bool still_in_tree(const place* here) {
  for (const place* level = here; level != nullptr; level = level->up) {
    if (!os_names_directory(level->parent, level->name, level->id)) return false;
  }
  return true;
}

// What is still in such a level stays where it now is.
#define MOVED_MESSAGE "Directory was moved during the walk and was not emptied: %s"

int32_t walk(os_dir_handle* dir, const place* here, char* path, size_t length, int32_t method,
             int32_t passes, int32_t recursive, const shred_job_ctx* ctx);

// Removes the emptied directory of `here`, whose own handle is closed, unless it left the tree
// after its last entry: that is a failure like any other level that moved.
int32_t remove_emptied(const place& here, const char* path) {
  if (!still_in_tree(&here)) {
    shred_set_error(MOVED_MESSAGE, path);
    return -1;
  }
  os_remove_directory_at(here.parent, here.name, here.id);
  return 0;
}

// Walks the subdirectory `name` of `dir` and removes it when nothing in it failed.
int32_t walk_subdirectory(os_dir_handle* dir, const place* up, const char* name, char* path,
                          size_t length, int32_t method, int32_t passes, const shred_job_ctx* ctx) {
  os_object_info info{};
  uint32_t error = 0;
  os_directory child(os_open_subdirectory(dir, name, &info, &error));
  if (!child.valid()) {
    // Among the reasons: the entry was swapped for a link since it was listed.
    shred_set_error("Failed to list directory: %s", path);
    return -1;
  }
  // Another file system, or a bind mount of some other tree, is not part of this one.
  if (info.mount_root) {
    shred_set_error(SHRED_MOUNT_POINT_MESSAGE, path);
    return -1;
  }
  const place here{dir, name, info.id, up};
  if (walk(child.get(), &here, path, length, method, passes, 1, ctx) != 0) return -1;
  child.close();
  return remove_emptied(here, path);
}

// Walks the held directory whose path fills path[0..length), found at `here` (null when it is
// a root or a drive, which cannot move). Every level shares the one buffer: a child's path is
// appended for the entry's handling and cut off again afterwards. The path is for messages;
// every action goes through the handles.
int32_t walk(os_dir_handle* dir, const place* here, char* path, size_t length, int32_t method,
             int32_t passes, int32_t recursive, const shred_job_ctx* ctx) {
  os_dir_listing listing(os_list_directory(dir));
  if (!listing.valid()) {
    shred_set_error("Failed to list directory: %s", path);
    return -1;
  }
  bool failed = false;
  const char* name = nullptr;
  uint32_t attributes = 0;
  while (listing.next(&name, &attributes)) {
    if (shred_cancel_requested(ctx)) {
      shred_set_error("Directory shredding cancelled by user");
      return -1;
    }
    if (is_dot_or_dot_dot(name)) continue;
    // Checked before every entry, since another process may move any level at any moment.
    if (!still_in_tree(here)) {
      shred_set_error(MOVED_MESSAGE, path);
      return -1;
    }

    const size_t name_length = std::strlen(name);
    if (length + 1 + name_length + 1 > OS_PATH_MAX) {
      // Never act on what cannot be named in full: the messages could not say what it was.
      shred_set_error("Path too long: entry \"%s\" of directory %s was not shredded", name, path);
      failed = true;
      continue;
    }
    path[length] = os_separator();
    std::memcpy(path + length + 1, name, name_length + 1);

    // A link is never walked, whatever else its entry says: the file engine refuses it.
    const bool directory =
        (attributes & OS_ATTR_DIRECTORY) != 0 && (attributes & OS_ATTR_REPARSE) == 0;
    int32_t result = 0;
    if (!directory) {
      // The engine's own refusals of a path's shape hold for the paths the walk forms too: a
      // walk rooted at a share or device path ("\\?\...", "\\server\share") must not destroy
      // what shred_file would refuse under the same path.
      result = shred_check_spelling(path, false);
      if (result == 0) result = shred_file_at(dir, name, path, method, passes, ctx);
    } else if (recursive != 0) {
      result =
          walk_subdirectory(dir, here, name, path, length + 1 + name_length, method, passes, ctx);
    }
    if (result != 0) failed = true;
    path[length] = '\0';
  }
  return failed ? -1 : 0;  // a failed entry's message stands
}

// Refusals of the requested directory itself, from what its handle says. 0 when it may be walked.
int32_t check_walkable(const os_object_info& info, const shred_target& target, const char* path) {
  if (shred_check_not_root_or_cwd(info, target, path) != 0) return -1;
  // A mounted file system or a bind mount named as the directory is refused as it would be met
  // inside a tree: its contents belong to another tree, and its root could not be removed.
  if (info.mount_root) {
    shred_set_error(SHRED_MOUNT_POINT_MESSAGE, path);
    return -1;
  }
  return 0;
}

}  // namespace

int32_t shred_dir_resolved(const char* path, const shred_target& target, int32_t method,
                           int32_t passes, int32_t recursive, const shred_job_ctx* ctx) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid directory path: NULL or empty");
    return -1;
  }
  if (shred_check_spelling(path, true) != 0) return -1;
  char buffer[OS_PATH_MAX];
  const size_t length = std::strlen(path);
  if (!target.fits || target.parent == nullptr || length >= sizeof buffer) {
    shred_set_error("Failed to list directory: %s", path);
    return -1;
  }
  std::memcpy(buffer, path, length + 1);

  os_object_info info{};
  uint32_t error = 0;
  if (target.name[0] == '\0') {
    // The path names a directory by itself (a root or a drive); it has no parent to be removed
    // from, and is walked only if it is neither the root nor the working directory.
    if (!os_directory_info(target.parent, &info, &error)) {
      shred_set_error("Failed to list directory: %s", path);
      return -1;
    }
    if (check_walkable(info, target, path) != 0) return -1;
    return walk(target.parent, nullptr, buffer, length, method, passes, recursive, ctx);
  }

  // A requested directory that is a link is refused before anything is listed: walking it would
  // destroy what lies outside the tree the caller named.
  if (os_stat_at(target.parent, target.name, &info, &error) &&
      (info.attributes & OS_ATTR_REPARSE) != 0) {
    shred_set_error(SHRED_REPARSE_MESSAGE, path);
    return -1;
  }
  os_directory dir(os_open_subdirectory(target.parent, target.name, &info, &error));
  if (!dir.valid()) {
    shred_set_error("Failed to list directory: %s", path);
    return -1;
  }
  if (check_walkable(info, target, path) != 0) return -1;
  const place top{target.parent, target.name, info.id, nullptr};
  if (walk(dir.get(), &top, buffer, length, method, passes, recursive, ctx) != 0) return -1;
  dir.close();
  return remove_emptied(top, path);
}

int32_t shred_dir_internal(const char* path, int32_t method, int32_t passes, int32_t recursive,
                           const shred_job_ctx* ctx) {
  shred_target target{};
  shred_resolve(path, &target);
  os_directory parent(target.parent);
  return shred_dir_resolved(path, target, method, passes, recursive, ctx);
}
