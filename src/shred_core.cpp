// The file engine and the verification heuristic. The engine is the only code that destroys file
// contents: it checks the path, overwrites the file pass by pass (each pass forced to the device),
// truncates it, gives it a random name in its own directory and deletes it. It acts only through
// the directory handle its caller's path was resolved to, and renames or deletes a name only
// while that name still refers to the file it overwrote. The verification shares nothing with it
// but the last-error text.
#include "shred_core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_patterns.h"
#include "shred_random.h"
#include "shred_report.h"

namespace {

constexpr size_t kRandomNameLength = 16;
constexpr size_t kNewNameSize = sizeof "__shred_" + kRandomNameLength + sizeof ".tmp";
constexpr int kRenameAttempts = 4;

// How far ahead of the writes the file is checked for released blocks at a time: a look every
// few chunks costs under one percent of a pass even from the page cache, and leaves another
// process this little room to release blocks unseen between a look and the writes.
constexpr int64_t kCheckSpan = int64_t{4} * SHRED_BUFFER_SIZE;

// The least data for which a run's random passes get a filler of their own.
constexpr int64_t kFillerThreshold = int64_t{1} << 20;

// Roots, drives, share paths and, on POSIX, device nodes, FIFOs and sockets.
#define SPECIAL_PATH_MESSAGE \
  "Safety violation: refusing to shred root, working directory, or special path: %s"
#define DOT_COMPONENT_MESSAGE \
  "Safety violation: refusing to shred a path that ends in \".\" or \"..\": %s"

constexpr uint32_t kVerifySampleSize = 4096;
constexpr double kVerifyPrintableRatio = 0.85;

static_assert(SHRED_FILL_BLOCK == SHRED_BUFFER_SIZE, "a filler block is one chunk");

// Puts the read-only attribute back on a file whose attribute the engine dropped to open it, on
// every way out but the file's deletion: a file that stays (a failed open, a refusal, a failed
// or cancelled pass, a name that could not be taken away) is left as its owner marked it. It acts
// after the file's handle is closed, so it is declared before the handle.
class readonly_restore {
 public:
  readonly_restore(os_dir_handle* dir, const char* name) : dir_(dir), name_(name) {}
  ~readonly_restore() {
    if (active_) os_restore_readonly_at(dir_, name_, id_);
  }
  readonly_restore(const readonly_restore&) = delete;
  readonly_restore& operator=(const readonly_restore&) = delete;

  // The attribute of `id` was dropped and must come back.
  void arm(const os_file_id& id) {
    id_ = id;
    active_ = true;
  }
  // The file now bears `name`.
  void renamed(const char* name) {
    std::snprintf(renamed_, sizeof renamed_, "%s", name);
    name_ = renamed_;
  }
  // The file is gone: there is nothing to put the attribute back on.
  void deleted() { active_ = false; }

 private:
  os_dir_handle* dir_;
  const char* name_;
  char renamed_[kNewNameSize] = {};
  os_file_id id_{};
  bool active_ = false;
};

// One file's run: what it acts on and how far it has got. Lives on the engine's stack.
struct shred_run {
  os_handle file;
  os_dir_handle* dir;
  const char* name;  // the file's entry in `dir`
  const char* path;  // for messages only
  uint8_t* buffer;
  shred_filler* filler;  // generates random chunks ahead of the writes; null: inline
  int32_t method;
  int32_t passes;
  int64_t size;        // bytes, when the file was opened
  int64_t data_bytes;  // bytes that hold data (a sparse file's holes left out)
  int64_t allocated;   // bytes the file system had given the file when it was opened
  bool map_exact;      // the data map shows every block the file owns
  int64_t total;       // bytes the whole run writes: passes x data_bytes
  int64_t written;
  const shred_job_ctx* ctx;
  readonly_restore* restore;
};

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Roots, the working directory, drives and share or device paths, as spelled. The same shapes
// are refused on every system.
bool is_refused_shape(const char* path) {
  const size_t length = std::strlen(path);
  if (std::strcmp(path, "/") == 0 || std::strcmp(path, "//") == 0) return true;
  if (is_dot_or_dot_dot(path)) return true;
  if (length == 2 && path[1] == ':') return true;
  if (length == 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
  return path[0] == '\\' && path[1] == '\\';
}

// Whether the last component, trailing separators aside, is "." or "..": such a path names a
// directory through itself or its child, which is never what a shred of a tree should take.
bool ends_in_dot_component(const char* path) {
  char parent[OS_PATH_MAX];
  char name[OS_NAME_MAX];
  bool trailing = false;
  return os_split_path(path, parent, sizeof parent, name, sizeof name, &trailing) &&
         is_dot_or_dot_dot(name);
}

// Sums the bytes of the data ranges of the file: every range it owns blocks for.
int64_t count_data_bytes(os_handle file, int64_t size) {
  int64_t total = 0;
  int64_t from = 0;
  int64_t start = 0;
  int64_t end = 0;
  while (os_next_data(file, from, size, &start, &end)) {
    total += end - start;
    from = end;
  }
  return total;
}

bool cancelled(const shred_run& run) {
  if (!shred_cancel_requested(run.ctx)) return false;
  shred_set_error("Shredding operation cancelled by user");
  return true;
}

uint32_t chunk_at(int64_t offset, int64_t end) {
  const int64_t remaining = end - offset;
  return remaining < SHRED_BUFFER_SIZE ? static_cast<uint32_t>(remaining) : SHRED_BUFFER_SIZE;
}

// A file that another process truncated or punched a hole into while it was being shredded gave
// its old blocks back to the file system with the contents still in them; no later write through
// the file reaches them. The run fails, names the remedy, and leaves the file under its name.
// `what` says which figure fell: "size", "data" or "allocated" bytes.
int32_t shrink_failure(const shred_run& run, int32_t pass, const char* what, int64_t before,
                       int64_t now) {
  shred_set_error(
      "File shrank while being shredded: %s (%s: %lld bytes when opened, %lld on pass %d); the "
      "blocks it released may still hold its old data: wipe the free space of its file system "
      "(shred_free_space, or kelvarin-shred --free-space) to destroy them; it is left under its "
      "name",
      run.path, what, static_cast<long long>(before), static_cast<long long>(now), pass + 1);
  return -1;
}

// Whether [from, to) still is data, as it was when the pass found it: a hole there now means
// blocks were released ahead of the writes.
bool still_data(const shred_run& run, int64_t from, int64_t to) {
  int64_t start = 0;
  int64_t end = 0;
  while (from < to) {
    if (!os_next_data(run.file, from, to, &start, &end) || start > from) return false;
    from = end;
  }
  return true;
}

// Checked ahead of the writes, since writing on would give the file fresh blocks where another
// process released the old ones and hide that it did. With a map of the file's blocks the part
// [from, to) about to be written must still be data (a truncation leaves no blocks past the new
// end either); without one, neither the size nor the blocks given to the file may have fallen.
int32_t check_ahead(const shred_run& run, int32_t pass, int64_t from, int64_t to) {
  os_allocation now{};
  if (run.map_exact) {
    if (still_data(run, from, to)) return 0;
    // A truncation is named as such.
    if (os_file_allocation(run.file, &now) && now.size < run.size) {
      return shrink_failure(run, pass, "size", run.size, now.size);
    }
    return shrink_failure(run, pass, "data", run.data_bytes, count_data_bytes(run.file, run.size));
  }
  if (!os_file_allocation(run.file, &now)) return 0;
  if (now.size < run.size) return shrink_failure(run, pass, "size", run.size, now.size);
  if (now.allocated < run.allocated) {
    return shrink_failure(run, pass, "allocated", run.allocated, now.allocated);
  }
  return 0;
}

// Checked after each pass is flushed: the size, the data the pass found, the data the map shows
// now and, where no map shows every block, the blocks the file system has given the file must
// not have fallen below what they were at the open. A hole punched behind the writes of a pass
// shows here.
int32_t check_after_pass(const shred_run& run, int32_t pass, int64_t pass_bytes) {
  os_allocation now{};
  if (!os_file_allocation(run.file, &now)) return 0;  // nothing new is known; the next look decides
  if (now.size < run.size) return shrink_failure(run, pass, "size", run.size, now.size);
  const int64_t data_now = count_data_bytes(run.file, run.size);
  if (pass_bytes < run.data_bytes || data_now < run.data_bytes) {
    return shrink_failure(run, pass, "data", run.data_bytes,
                          pass_bytes < data_now ? pass_bytes : data_now);
  }
  if (!run.map_exact && now.allocated < run.allocated) {
    return shrink_failure(run, pass, "allocated", run.allocated, now.allocated);
  }
  return 0;
}

// Writes one data range of the file with the pass's data, chunk by chunk from `start`. With a
// filler, random chunks are generated ahead while earlier ones are written: the chunks, the
// cancel tests, the progress calls and the order of the bytes on disk are those of the plain
// loop.
int32_t write_range(shred_run& run, int32_t pass, bool random, int64_t start, int64_t end) {
  int64_t offset = start;
  int64_t hinted = start;
  // The range was found as data a moment ago, which a map of the blocks answers for its start.
  int64_t checked = run.map_exact ? start + kCheckSpan : start;
  while (offset < end) {
    if (cancelled(run)) return -1;
    const uint32_t chunk = chunk_at(offset, end);
    if (offset >= checked) {
      checked = end - offset < kCheckSpan ? end : offset + kCheckSpan;
      if (check_ahead(run, pass, offset, checked) != 0) return -1;
    }
    const uint8_t* data = shred_next_chunk(run.filler, run.buffer, chunk, random);
    uint32_t done = 0;
    uint32_t error = 0;
    if (!os_write(run.file, data, chunk, &done, &error)) {
      shred_set_error("Write failed on pass %d: %s (error %lu)", pass + 1, run.path,
                      static_cast<unsigned long>(error));
      return -1;
    }
    offset += chunk;
    run.written += chunk;
    if (offset - hinted >= SHRED_WRITEBACK_WINDOW) {
      os_start_writeback(run.file, hinted, offset - hinted);
      hinted = offset;
    }
    if (run.ctx != nullptr && run.ctx->progress_cb != nullptr) {
      int64_t percent = run.total > 0 ? run.written * 100 / run.total : 100;
      if (percent > 100) percent = 100;
      run.ctx->progress_cb(run.ctx->job_id, static_cast<int32_t>(percent), run.written, run.total);
    }
  }
  return 0;
}

// Whether any pass of the run writes random bytes.
bool has_random_pass(const shred_run& run) {
  for (int32_t pass = 0; pass < run.passes; ++pass) {
    if (shred_get_pattern(run.method, pass).kind == SHRED_PATTERN_RANDOM) return true;
  }
  return false;
}

// One pass over every data range of the file, from its start, forced to the device at its end.
// Holes are skipped: they hold nothing to destroy, and writing them would allocate the whole
// apparent size. Unwritten and delayed ranges are data: their blocks may hold the old contents.
int32_t run_pass(shred_run& run, int32_t pass) {
  if (cancelled(run)) return -1;
  uint32_t error = 0;
  if (!os_seek(run.file, 0, &error)) {
    shred_set_error("Seek failed on pass %d: %s", pass + 1, run.path);
    return -1;
  }
  const shred_pattern pattern = shred_get_pattern(run.method, pass);
  const bool random = pattern.kind == SHRED_PATTERN_RANDOM;
  if (!random) shred_fill_pattern_buffer(&pattern, run.buffer, SHRED_BUFFER_SIZE);

  int64_t from = 0;
  int64_t start = 0;
  int64_t end = 0;
  int64_t pass_bytes = 0;
  while (os_next_data(run.file, from, run.size, &start, &end)) {
    // Ranges need not follow one another, so each is sought before it is written.
    if (!os_seek(run.file, start, &error)) {
      shred_set_error("Seek failed on pass %d: %s", pass + 1, run.path);
      return -1;
    }
    if (write_range(run, pass, random, start, end) != 0) return -1;
    pass_bytes += end - start;
    from = end;
  }
  if (!os_flush(run.file, &error)) {
    shred_set_error("Flush failed on pass %d: %s (error %lu)", pass + 1, run.path,
                    static_cast<unsigned long>(error));
    return -1;
  }
  return check_after_pass(run, pass, pass_bytes);
}

// Refusals that follow from what the object is. 0 when it is a regular file with one name on a
// file system that stores data; -1 with the message set otherwise.
int32_t check_object(const os_object_info& info, const char* path) {
  // A link is refused before the directory test, so a link to a directory gets this message.
  if ((info.attributes & OS_ATTR_REPARSE) != 0) {
    shred_set_error(SHRED_REPARSE_MESSAGE, path);
    return -1;
  }
  if ((info.attributes & OS_ATTR_DIRECTORY) != 0) {
    shred_set_error("Path is a directory, not a file: %s (use shred_directory instead)", path);
    return -1;
  }
  // Writing to or unlinking a device node, FIFO or socket is never what a caller wants.
  if ((info.attributes & OS_ATTR_DEVICE) != 0) {
    shred_set_error(SPECIAL_PATH_MESSAGE, path);
    return -1;
  }
  // A bind-mounted file belongs to the tree it was mounted from; its name here cannot even be
  // removed.
  if (info.mount_root) {
    shred_set_error(SHRED_MOUNT_POINT_MESSAGE, path);
    return -1;
  }
  // Random bytes written into a kernel control file destroy nothing and may do harm.
  if (info.pseudo) {
    shred_set_error("Safety violation: refusing to shred a file of a kernel pseudo file system: %s",
                    path);
    return -1;
  }
  // The contents belong to the other names too; destroying them is not what was asked.
  if (info.links > 1) {
    shred_set_error(
        "Safety violation: refusing to shred a file that has other names (hard links): %s", path);
    return -1;
  }
  return 0;
}

// The passes and the finish of one opened file. The file was checked through its handle.
int32_t run_file(shred_run& run, const os_object_info& opened) {
  if (!os_file_size(run.file, &run.size)) {
    shred_set_error("Failed to get file size: %s", run.path);
    return -1;
  }
  shred_buffer buffer(static_cast<uint8_t*>(std::malloc(SHRED_BUFFER_SIZE)));
  if (!buffer) {
    shred_set_error("Memory allocation failed for %u byte shred buffer",
                    static_cast<unsigned>(SHRED_BUFFER_SIZE));
    return -1;
  }
  run.buffer = buffer.get();
  if (run.size < 0) run.size = 0;
  run.data_bytes = count_data_bytes(run.file, run.size);
  run.map_exact = os_has_block_map(run.file);
  os_allocation allocation{};
  // Unknown, it is 0: never above a later reading, so it never fails the run.
  run.allocated = os_file_allocation(run.file, &allocation) ? allocation.allocated : 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(run.passes), run.data_bytes, &run.total)) {
    run.total = INT64_MAX;
  }
  run.written = 0;
  // A filler's thread and its ring pay off only over a few megabytes of random data.
  shred_background_fill fill(run.buffer);
  if (run.data_bytes >= kFillerThreshold && has_random_pass(run)) fill.start();
  run.filler = fill.filler();
  const int64_t start = shred_get_time_ms();

  for (int32_t pass = 0; pass < run.passes; ++pass) {
    // On failure the file stays under its name at full length; RAII releases buffer and handle.
    if (run_pass(run, pass) != 0) return -1;
  }

  // Bytes that another writer added while the passes ran were never overwritten: the run must
  // not claim them, and the file stays for the caller to retry once the writer is gone. (A file
  // that lost size or data was caught by the last pass's own check.)
  int64_t size_after = run.size;
  os_file_size(run.file, &size_after);
  const int64_t data_after = count_data_bytes(run.file, size_after);
  if (size_after > run.size || data_after > run.data_bytes) {
    shred_set_error(
        "File grew while being shredded: %s (%lld bytes of data when opened, %lld after the "
        "last pass); it is left under its name",
        run.path, static_cast<long long>(run.data_bytes), static_cast<long long>(data_after));
    return -1;
  }

  // From here on nothing fails the run: the contents are gone.
  fill.release();
  run.filler = nullptr;
  buffer.reset();
  run.buffer = nullptr;
  uint32_t ignored = 0;
  os_seek(run.file, 0, &ignored);
  os_truncate_here(run.file);
  os_flush(run.file, &ignored);

  // The new name is formed inside the held directory, so it is never cut, whatever the length of
  // the path. The file is deleted only under that fresh name, and only while the name still
  // refers to the file overwritten here: the caller's name is never unlinked directly, since
  // between a check of it and the unlink another process could put a link in its place. A
  // name already taken is drawn again; a file that cannot be renamed keeps its name, empty.
  for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
    char random[kRandomNameLength + 1];
    shred_random_alphanumeric(random, kRandomNameLength);
    char new_name[kNewNameSize];
    std::snprintf(new_name, sizeof new_name, "__shred_%s.tmp", random);
    if (os_rename_open_file(run.dir, run.name, new_name, run.file, opened.id)) {
      if (os_delete_open_file(run.dir, new_name, run.file, opened.id)) {
        run.restore->deleted();
      } else {
        run.restore->renamed(new_name);
      }
      break;
    }
  }

  shred_record_stats(1, run.written, run.passes, shred_get_time_ms() - start);
  return 0;
}

// Runs the engine on a resolved target whose spelling has been checked.
int32_t run_target(const char* path, const shred_target& target, int32_t method, int32_t passes,
                   const shred_job_ctx* ctx) {
  if (!target.fits || target.parent == nullptr) {
    shred_set_error("File not found: %s", path);
    return -1;
  }
  if (target.name[0] == '\0') {
    // The path names a directory by itself (a root or a drive): the root and the working
    // directory are refused by name of what they are, anything else as a directory.
    os_object_info info{};
    uint32_t error = 0;
    if (!os_directory_info(target.parent, &info, &error)) {
      shred_set_error("File not found: %s", path);
      return -1;
    }
    if (shred_check_not_root_or_cwd(info, target, path) != 0) return -1;
    shred_set_error("Path is a directory, not a file: %s (use shred_directory instead)", path);
    return -1;
  }
  if (target.trailing_separator) {
    // "name/" can only name a directory (or a link to one); a file so spelled is not there.
    os_object_info info{};
    uint32_t error = 0;
    if (!os_stat_at(target.parent, target.name, &info, &error) ||
        (info.attributes & (OS_ATTR_DIRECTORY | OS_ATTR_REPARSE)) == 0) {
      shred_set_error("File not found: %s", path);
      return -1;
    }
    return check_object(info, path);
  }
  return shred_file_at(target.parent, target.name, path, method, passes, ctx);
}

}  // namespace

bool shred_cancel_requested(const shred_job_ctx* ctx) {
  // Relaxed is enough: a late read only moves the stop to the next test.
  return ctx != nullptr && ctx->cancel_flag != nullptr &&
         ctx->cancel_flag->load(std::memory_order_relaxed) != 0;
}

void shred_resolve(const char* path, shred_target* target) {
  char parent[OS_PATH_MAX];
  target->parent = nullptr;
  target->parent_error = 0;
  target->name[0] = '\0';
  target->trailing_separator = false;
  target->fits = false;
  target->have_cwd = false;
  if (path == nullptr || path[0] == '\0') return;  // refused by whoever runs the target
  target->have_cwd = os_current_directory_id(&target->cwd);
  target->fits = os_split_path(path, parent, sizeof parent, target->name, sizeof target->name,
                               &target->trailing_separator);
  if (target->fits) target->parent = os_open_directory(parent, &target->parent_error);
}

int32_t shred_check_spelling(const char* path, bool directory) {
  if (directory) {
    if (std::strcmp(path, "/") == 0 || is_dot_or_dot_dot(path)) {
      shred_set_error("Safety violation: refusing to shred root or working directory: %s", path);
      return -1;
    }
  } else if (is_refused_shape(path)) {
    shred_set_error(SPECIAL_PATH_MESSAGE, path);
    return -1;
  }
  if (ends_in_dot_component(path)) {
    shred_set_error(DOT_COMPONENT_MESSAGE, path);
    return -1;
  }
  return 0;
}

int32_t shred_check_not_root_or_cwd(const os_object_info& info, const shred_target& target,
                                    const char* path) {
  if (info.root) {
    shred_set_error("Safety violation: refusing to shred the root directory: %s", path);
    return -1;
  }
  if (target.have_cwd && os_same_file(info.id, target.cwd)) {
    shred_set_error("Safety violation: refusing to shred the working directory: %s", path);
    return -1;
  }
  return 0;
}

int32_t shred_file_at(os_dir_handle* dir, const char* name, const char* path, int32_t method,
                      int32_t passes, const shred_job_ctx* ctx) {
  if (passes < 1) {
    shred_set_error("Invalid pass count: %d", passes);
    return -1;
  }
  os_object_info info{};
  uint32_t error = 0;
  if (!os_stat_at(dir, name, &info, &error)) {
    shred_set_error("File not found: %s", path);
    return -1;
  }
  if (check_object(info, path) != 0) return -1;
  // Declared before the handle: it acts once the handle is closed, whichever way this returns.
  readonly_restore restore(dir, name);
  if ((info.attributes & OS_ATTR_READONLY) != 0 && os_clear_readonly_at(dir, name, info.id)) {
    restore.arm(info.id);
  }

  os_object_info opened{};
  os_file file(os_open_exclusive_at(dir, name, &opened, &error));
  if (!file.valid()) {
    shred_set_error("Failed to open file for writing: %s (error %lu)", path,
                    static_cast<unsigned long>(error));
    return -1;
  }
  // What was opened is checked again through the handle: the name may have been given to
  // another object since it was examined, or the file another name.
  if (!os_same_file(opened.id, info.id)) {
    shred_set_error("File changed while being opened: %s", path);
    return -1;
  }
  if (check_object(opened, path) != 0) return -1;

  shred_run run{};
  run.file = file.get();
  run.dir = dir;
  run.name = name;
  run.path = path;
  run.method = method;
  run.passes = passes;
  run.ctx = ctx;
  run.restore = &restore;
  return run_file(run, opened);
}

int32_t shred_file_resolved(const char* path, const shred_target& target, int32_t method,
                            int32_t passes, const shred_job_ctx* ctx) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid file path: path is NULL or empty");
    return -1;
  }
  if (shred_check_spelling(path, false) != 0) return -1;
  return run_target(path, target, method, passes, ctx);
}

int32_t shred_file_internal(const char* path, int32_t method, int32_t passes,
                            const shred_job_ctx* ctx) {
  shred_target target{};
  shred_resolve(path, &target);
  os_directory parent(target.parent);
  return shred_file_resolved(path, target, method, passes, ctx);
}

extern "C" int32_t shred_verify(const char* path) noexcept {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid path for verify");
    return 0;
  }
  uint8_t sample[kVerifySampleSize];
  uint32_t n = 0;
  bool read_ok;
  {
    os_file file(os_open_shared_read(path));
    if (!file.valid()) return 0;
    read_ok = os_read(file.get(), sample, sizeof sample, &n);
  }
  if (!read_ok || n == 0) return 1;

  bool all_zero = true;
  bool all_ones = true;
  uint32_t printable = 0;
  for (uint32_t i = 0; i < n; ++i) {
    all_zero = all_zero && sample[i] == 0x00;
    all_ones = all_ones && sample[i] == 0xFF;
    if (sample[i] >= 0x20 && sample[i] <= 0x7E) ++printable;
  }
  if (all_zero || all_ones) return 1;
  return static_cast<double>(printable) / static_cast<double>(n) < kVerifyPrintableRatio ? 1 : 0;
}
