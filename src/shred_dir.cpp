// The directory walk: lists a directory once, hands each file to the file engine as it comes up,
// walks subdirectories depth first when asked to, and removes a directory only when nothing in it
// failed. Nothing is gathered before acting and nothing is kept after the call.
#include "shred_dir.h"

#include <cstring>

#include "platform/platform.h"
#include "shred.h"

namespace {

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Walks the directory whose path fills path[0..length). Every level shares the one buffer: a
// child's path is appended for the entry's handling and cut off again afterwards, so the depth
// of a walk costs no more than one path buffer.
int32_t walk(char* path, size_t length, int32_t method, int32_t passes, int32_t recursive,
             const shred_job_ctx* ctx) {
  os_dir_listing listing(os_dir_open(path));
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

    const size_t name_length = std::strlen(name);
    if (length + 1 + name_length + 1 > OS_PATH_MAX) {
      // Never act on a shortened path: it could name something else.
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
      result = shred_file_internal(path, method, passes, ctx);
    } else if (recursive != 0) {
      result = walk(path, length + 1 + name_length, method, passes, 1, ctx);
    }
    if (result != 0) failed = true;
    path[length] = '\0';
  }
  if (failed) return -1;  // the failed entry's message stands
  os_remove_directory(path);
  return 0;
}

}  // namespace

int32_t shred_dir_internal(const char* path, int32_t method, int32_t passes, int32_t recursive,
                           const shred_job_ctx* ctx) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid directory path: NULL or empty");
    return -1;
  }
  if (std::strcmp(path, "/") == 0 || std::strcmp(path, ".") == 0 || std::strcmp(path, "..") == 0) {
    shred_set_error("Safety violation: refusing to shred root or working directory: %s", path);
    return -1;
  }
  // A requested directory that is a link is refused before anything is listed: walking it would
  // destroy what lies outside the tree the caller named.
  const uint32_t attributes = os_get_attributes(path);
  if (attributes != OS_ATTR_INVALID && (attributes & OS_ATTR_REPARSE) != 0) {
    shred_set_error(SHRED_REPARSE_MESSAGE, path);
    return -1;
  }
  char buffer[OS_PATH_MAX];
  const size_t length = std::strlen(path);
  if (length >= sizeof buffer) {
    shred_set_error("Failed to list directory: %s", path);
    return -1;
  }
  std::memcpy(buffer, path, length + 1);
  return walk(buffer, length, method, passes, recursive, ctx);
}
