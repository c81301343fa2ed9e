// The free-space wipe. Shredding a file cannot reach the copies a file system already left
// elsewhere (blocks freed by copy-on-write, the journal's copies, files once deleted plainly);
// writing every free block can. The wipe makes one directory of its own, fills it with files
// until the file system is full, rewrites them pass by pass and removes them all. Everything it
// touches it created itself, or an earlier wipe killed before its end did, and it acts on it only
// through the directories it holds: a full disk is its goal, never a state it leaves behind.
#include "shred_free_space.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "shred_assess.h"
#include "shred_patterns.h"
#include "shred_random.h"
#include "shred_report.h"

namespace {

// No fill file grows beyond this: file systems with small file-size limits (FAT) stay usable,
// and a later pass rewrites a file that can be flushed in reasonable time.
constexpr int64_t kMaxFillFile = int64_t{1} << 30;
constexpr size_t kRandomNameLength = 12;
constexpr int kNameAttempts = 4;
constexpr size_t kFillDirName = sizeof SHRED_FILL_PREFIX + kRandomNameLength;  // NUL included
constexpr size_t kFillFileDigits = 8;

// The record a wipe keeps in its fill directory for as long as it runs: an empty file whose name
// carries what the wipe changed on the file system (the reserve token), held open and locked so
// that a later wipe can tell a running wipe from one that was killed.
constexpr char kRecordPrefix[] = "__shred_record_";

struct fill_file {
  char name[16];
  os_file_id id;
  int64_t size;
};

bool is_fill_directory_name(const char* name) {
  const size_t prefix = sizeof SHRED_FILL_PREFIX - 1;
  if (std::strncmp(name, SHRED_FILL_PREFIX, prefix) != 0) return false;
  size_t length = 0;
  for (const char* c = name + prefix; *c != '\0'; ++c, ++length) {
    if (!std::isalnum(static_cast<unsigned char>(*c))) return false;
  }
  return length == kRandomNameLength;
}

bool is_fill_file_name(const char* name) {
  size_t length = 0;
  for (const char* c = name; *c != '\0'; ++c, ++length) {
    if (*c < '0' || *c > '9') return false;
  }
  return length == kFillFileDigits;
}

// Removes the fill file `name` of `dir` by identity, whoever else holds it. True when it is gone,
// or was already; false when the name now refers to something else, or would not go.
bool remove_fill_file(os_dir_handle* dir, const char* name, const os_file_id& id) {
  os_object_info info{};
  uint32_t error = 0;
  if (!os_stat_at(dir, name, &info, &error)) return true;  // gone already
  // Not ours any more, or something mounted over the name: left alone.
  if (!os_same_file(info.id, id) || info.mount_root) return false;
  return os_remove_file_at(dir, name, id);
}

// The wipe's own directory, the record in it, the files it fills, and the reserve it lowered.
// Whatever way the wipe ends, the destructor undoes all of it: the disk must never be left full,
// nor its reserve lowered.
class fill_area {
 public:
  explicit fill_area(os_dir_handle* parent) : parent_(parent) {}
  ~fill_area() { remove(); }
  fill_area(const fill_area&) = delete;
  fill_area& operator=(const fill_area&) = delete;

  // Makes the directory under a fresh random name, never one that exists, records in it what the
  // reserve is to be put back to, and only then lowers the reserve: a wipe killed at any point
  // leaves a record that the next wipe finishes. 0, or -1 with the message set.
  int32_t create(const char* path) {
    uint32_t error = 0;
    bool made = false;
    for (int attempt = 0; attempt < kNameAttempts && !made; ++attempt) {
      char random[kRandomNameLength + 1];
      shred_random_alphanumeric(random, kRandomNameLength);
      std::snprintf(name_, sizeof name_, "%s%s", SHRED_FILL_PREFIX, random);
      made = os_make_directory_at(parent_, name_, &error);
      if (!made && !os_is_name_taken(error)) break;
    }
    if (!made) {
      shred_set_error("Cannot create the fill directory in %s (error %lu)", path,
                      static_cast<unsigned long>(error));
      return -1;
    }
    os_object_info info{};
    dir_ = os_directory(os_open_subdirectory(parent_, name_, &info, &error));
    if (!dir_.valid()) {
      // Not ours any more, or never openable: only an empty directory of that id goes.
      shred_set_error("Cannot open the fill directory %s in %s (error %lu)", name_, path,
                      static_cast<unsigned long>(error));
      return -1;
    }
    id_ = info.id;
    made_ = true;
    char token[OS_RESERVE_TOKEN_MAX];
    os_reserve_token(parent_, token);
    std::snprintf(record_name_, sizeof record_name_, "%s%s", kRecordPrefix, token);
    record_ = os_create_file_at(dir_.get(), record_name_, &info, &error);
    if (record_ == OS_INVALID_HANDLE) {
      shred_set_error("Cannot create the record of the fill directory %s in %s (error %lu)", name_,
                      path, static_cast<unsigned long>(error));
      return -1;
    }
    record_id_ = info.id;
    os_lower_reserve(parent_, &reserve_);
    return 0;
  }

  os_dir_handle* dir() const { return dir_.get(); }
  const char* name() const { return name_; }
  std::vector<fill_file>& files() { return files_; }
  int64_t kept_bytes() const { return reserve_.kept_bytes; }

  // Deletes every fill file, puts the reserve back, then deletes the record and the directory.
  // True when nothing of the wipe is left. A fill file that would not go keeps the record, so
  // that a later wipe tries again.
  bool remove() {
    if (!made_) return true;
    bool complete = true;
    for (const fill_file& file : files_) {
      if (!remove_fill_file(dir_.get(), file.name, file.id)) complete = false;
    }
    files_.clear();
    os_restore_reserve(&reserve_);
    if (record_ != OS_INVALID_HANDLE) {
      if (complete && !os_delete_open_file(dir_.get(), record_name_, record_, record_id_)) {
        complete = false;
      }
      os_close(record_);
      record_ = OS_INVALID_HANDLE;
    }
    dir_.close();
    if (!os_remove_directory_at(parent_, name_, id_)) complete = false;
    made_ = false;
    return complete;
  }

 private:
  os_dir_handle* parent_;
  os_directory dir_;
  char name_[kFillDirName] = "";
  os_file_id id_{};
  bool made_ = false;
  os_handle record_ = OS_INVALID_HANDLE;
  char record_name_[sizeof kRecordPrefix + OS_RESERVE_TOKEN_MAX] = "";
  os_file_id record_id_{};
  os_reserve reserve_{};
  std::vector<fill_file> files_;
};

// What one fill directory left by an earlier wipe holds, from one listing.
struct left_fill {
  std::vector<fill_file> files;  // ids looked up, sizes unused
  char record[OS_NAME_MAX];
  int records;
};

// Lists a fill directory of an earlier wipe: its fill files (regular files with one name) and
// its record. Anything else in it is not the wipe's and stays.
bool list_left_fill(os_dir_handle* dir, left_fill* left) {
  os_dir_listing listing(os_list_directory(dir));
  if (!listing.valid()) return false;
  const char* name = nullptr;
  uint32_t attributes = 0;
  while (listing.next(&name, &attributes)) {
    if (std::strncmp(name, kRecordPrefix, sizeof kRecordPrefix - 1) == 0) {
      std::snprintf(left->record, sizeof left->record, "%s", name);
      ++left->records;
      continue;
    }
    if (!is_fill_file_name(name)) continue;
    os_object_info info{};
    uint32_t error = 0;
    if (!os_stat_at(dir, name, &info, &error) || info.links != 1 || info.mount_root ||
        (info.attributes & (OS_ATTR_DIRECTORY | OS_ATTR_DEVICE | OS_ATTR_REPARSE)) != 0) {
      continue;
    }
    fill_file file{};
    std::snprintf(file.name, sizeof file.name, "%s", name);
    file.id = info.id;
    left->files.push_back(file);
  }
  return true;
}

// Finishes one fill directory `name` of `parent` that an earlier wipe left, if it is one: a
// directory of the caller's own on this file system, holding exactly one record that no running
// wipe holds. Its fill files go, the reserve its record names is put back, then the record and
// the directory go. True when it found fill files to remove.
bool finish_left_fill(os_dir_handle* parent, const char* name) {
  os_object_info info{};
  uint32_t error = 0;
  os_directory dir(os_open_subdirectory(parent, name, &info, &error));
  if (!dir.valid() || info.mount_root || info.pseudo || !os_owned_by_caller(dir.get())) {
    return false;
  }
  left_fill left{};
  if (!list_left_fill(dir.get(), &left) || left.records != 1) return false;
  os_object_info record_info{};
  // A running wipe holds its record locked (on Windows, unshared): its fill is its own to remove.
  os_file record(os_open_exclusive_at(dir.get(), left.record, &record_info, &error));
  if (!record.valid() || record_info.links != 1) return false;
  bool complete = true;
  for (const fill_file& file : left.files) {
    if (!remove_fill_file(dir.get(), file.name, file.id)) complete = false;
  }
  os_put_back_reserve(parent, left.record + sizeof kRecordPrefix - 1);
  if (complete && os_delete_open_file(dir.get(), left.record, record.get(), record_info.id)) {
    record.close();
    dir.close();
    os_remove_directory_at(parent, name, info.id);
  }
  return !left.files.empty();
}

// Every wipe starts by finishing the wipes that were killed before they could remove their fill
// and put back the reserve, as far as it can find them: in the directory it is asked to wipe. True
// when it found fill of theirs to remove.
bool finish_earlier_wipes(os_dir_handle* dir) {
  // A type of this file's own, so that no instantiation of the container leaves the library.
  struct fill_dir_name {
    char name[kFillDirName];
  };
  std::vector<fill_dir_name> found;
  {
    os_dir_listing listing(os_list_directory(dir));
    if (!listing.valid()) return false;
    const char* name = nullptr;
    uint32_t attributes = 0;
    while (listing.next(&name, &attributes)) {
      if ((attributes & OS_ATTR_DIRECTORY) == 0 || (attributes & OS_ATTR_REPARSE) != 0 ||
          !is_fill_directory_name(name)) {
        continue;
      }
      found.emplace_back();
      std::snprintf(found.back().name, sizeof found.back().name, "%s", name);
    }
  }
  bool freed = false;
  for (const fill_dir_name& entry : found) {
    if (finish_left_fill(dir, entry.name)) freed = true;
  }
  return freed;
}

// One wipe: where it writes and how far it has got. Lives on the stack of the entry point.
struct wipe_run {
  const char* path;  // for messages only
  os_dir_handle* dir;
  uint8_t* buffer;
  shred_filler* filler;
  int32_t method;
  int32_t passes;
  int64_t total;  // bytes the whole wipe is expected to write
  int64_t written;
  const shred_job_ctx* ctx;
};

bool cancelled(const wipe_run& run) {
  if (!shred_cancel_requested(run.ctx)) return false;
  shred_set_error("Free space wipe cancelled by user");
  return true;
}

void report_progress(const wipe_run& run) {
  if (run.ctx == nullptr || run.ctx->progress_cb == nullptr) return;
  // The total is an estimate until the first pass has found the real free space, so the
  // percentage stays below 100 until the wipe has ended.
  int64_t percent = run.total > 0 ? run.written * 100 / run.total : 0;
  if (percent > 99) percent = 99;
  run.ctx->progress_cb(run.ctx->job_id, static_cast<int32_t>(percent), run.written, run.total);
}

// Writes pass `pass` into `file` from its current position until `limit` bytes are in it or the
// file system is full, then flushes it. *put is what went in, *full whether the file system
// ran out. A first "full" can come while blocks freed a moment ago still wait for a commit, so
// the file system is flushed and the write tried again; only a retry that puts nothing out
// means full. 0, or -1 with the message set.
int32_t write_fill(wipe_run& run, int32_t pass, bool random, os_handle file, int64_t limit,
                   int64_t* put, bool* full) {
  int64_t offset = 0;
  int64_t hinted = 0;
  bool retried = false;
  *full = false;
  while (offset < limit) {
    if (cancelled(run)) return -1;
    const int64_t remaining = limit - offset;
    const uint32_t chunk =
        remaining < SHRED_FILL_BLOCK ? static_cast<uint32_t>(remaining) : SHRED_FILL_BLOCK;
    const uint8_t* data = shred_next_chunk(run.filler, run.buffer, chunk, random);
    uint32_t done = 0;
    uint32_t error = 0;
    const bool ok = os_write(file, data, chunk, &done, &error);
    offset += done;
    run.written += done;
    if (done > 0) {
      retried = false;
      report_progress(run);
    }
    if (ok) {
      if (offset - hinted >= SHRED_WRITEBACK_WINDOW) {
        os_start_writeback(file, hinted, offset - hinted);
        hinted = offset;
      }
      continue;
    }
    if (!os_is_disk_full(error)) {
      shred_set_error("Write failed on pass %d of the free space wipe: %s (error %lu)", pass + 1,
                      run.path, static_cast<unsigned long>(error));
      return -1;
    }
    if (retried) {
      *full = true;
      break;
    }
    os_flush(file, &error);
    os_flush_volume(run.dir);
    retried = true;
  }
  *put = offset;
  uint32_t error = 0;
  if (!os_flush(file, &error)) {
    // A flush that finds no room for the file system's own records ends the fill, not the wipe.
    if (os_is_disk_full(error)) {
      *full = true;
      return 0;
    }
    shred_set_error("Flush failed on pass %d of the free space wipe: %s (error %lu)", pass + 1,
                    run.path, static_cast<unsigned long>(error));
    return -1;
  }
  return 0;
}

// The first pass: new files, each filled up to the size limit, until the file system is full.
int32_t fill_pass(wipe_run& run, fill_area& area, bool random) {
  std::vector<fill_file>& files = area.files();
  bool retried = false;
  for (;;) {
    if (cancelled(run)) return -1;
    fill_file entry{};
    std::snprintf(entry.name, sizeof entry.name, "%08u", static_cast<unsigned>(files.size()));
    os_object_info info{};
    uint32_t error = 0;
    os_file file(os_create_file_at(area.dir(), entry.name, &info, &error));
    if (!file.valid()) {
      if (!os_is_disk_full(error)) {
        shred_set_error("Cannot create a fill file in %s (error %lu)", run.path,
                        static_cast<unsigned long>(error));
        return -1;
      }
      if (retried) return 0;  // not even a file's record fits
      os_flush_volume(run.dir);
      retried = true;
      continue;
    }
    entry.id = info.id;
    files.push_back(entry);
    int64_t put = 0;
    bool full = false;
    if (write_fill(run, 0, random, file.get(), kMaxFillFile, &put, &full) != 0) return -1;
    files.back().size = put;
    if (full) return 0;
    retried = false;
  }
}

// A later pass: every fill file rewritten from its start and flushed. Running out of space here
// never fails the wipe: the pass covers what the file system lets it.
int32_t rewrite_pass(wipe_run& run, fill_area& area, int32_t pass, bool random) {
  for (const fill_file& entry : area.files()) {
    if (cancelled(run)) return -1;
    if (entry.size == 0) continue;
    os_object_info info{};
    uint32_t error = 0;
    os_file file(os_open_exclusive_at(area.dir(), entry.name, &info, &error));
    if (!file.valid() || !os_same_file(info.id, entry.id)) {
      shred_set_error("A fill file was replaced or removed during the free space wipe: %s",
                      run.path);
      return -1;
    }
    if (!os_seek(file.get(), 0, &error)) {
      shred_set_error("Seek failed on pass %d of the free space wipe: %s", pass + 1, run.path);
      return -1;
    }
    // A copy-on-write file system has no room for a rewrite beside the blocks it replaces. What
    // is left of the file is then given up, and written again into the blocks that frees.
    int64_t done = 0;
    for (int attempt = 0; attempt < 2 && done < entry.size; ++attempt) {
      int64_t put = 0;
      bool full = false;
      if (write_fill(run, pass, random, file.get(), entry.size - done, &put, &full) != 0) {
        return -1;
      }
      done += put;
      if (!full) break;
      os_truncate_here(file.get());
      os_flush_volume(run.dir);
    }
  }
  return 0;
}

// Finds the directory the caller named: a new handle in *owned, or, when the path names a root or
// a drive, the held directory itself (borrowed). Null with the message set when it is not a
// directory that can be opened without following a link.
os_dir_handle* open_target(const char* path, const shred_target& target, os_directory* owned,
                           os_object_info* info) {
  uint32_t error = 0;
  if (!target.fits || target.parent == nullptr) {
    shred_set_error("Directory not found: %s", path);
    return nullptr;
  }
  if (target.name[0] == '\0') {
    if (os_directory_info(target.parent, info, &error)) return target.parent;
    shred_set_error("Directory not found: %s", path);
    return nullptr;
  }
  *owned = os_directory(os_open_subdirectory(target.parent, target.name, info, &error));
  if (owned->valid()) return owned->get();
  os_object_info seen{};
  uint32_t ignored = 0;
  if (!os_stat_at(target.parent, target.name, &seen, &ignored)) {
    shred_set_error("Directory not found: %s", path);
  } else if ((seen.attributes & OS_ATTR_REPARSE) != 0) {
    shred_set_error("Safety violation: refusing to follow a link for a free space wipe: %s", path);
  } else if ((seen.attributes & OS_ATTR_DIRECTORY) == 0) {
    shred_set_error("Not a directory: %s", path);
  } else {
    shred_set_error("Cannot open directory: %s (error %lu)", path,
                    static_cast<unsigned long>(error));
  }
  return nullptr;
}

// Refusals from what the file system is; nothing has been created yet. 0 when it may be filled.
int32_t check_file_system(os_dir_handle* dir, const os_object_info& info, const char* path,
                          os_volume_space* space) {
  if (info.pseudo) {
    shred_set_error("Refusing to fill a kernel pseudo file system: %s", path);
    return -1;
  }
  os_storage storage{};
  uint32_t error = 0;
  if (os_storage_facts(dir, "", &storage, &error)) {
    if (shred_storage_is_network(storage)) {
      shred_set_error("Refusing to fill a network file system (%s): %s", storage.filesystem, path);
      return -1;
    }
    if (shred_storage_is_memory(storage)) {
      // Filling it would take the machine's memory, and it keeps nothing on a disk to wipe.
      shred_set_error("Refusing to fill a file system kept in memory (%s): %s", storage.filesystem,
                      path);
      return -1;
    }
  }
  if (!os_volume_space_of(dir, space, &error)) {
    shred_set_error("Cannot read the free space of %s (error %lu)", path,
                    static_cast<unsigned long>(error));
    return -1;
  }
  if (space->read_only) {
    shred_set_error("Refusing to fill a read-only file system: %s", path);
    return -1;
  }
  return 0;
}

}  // namespace

int32_t shred_free_space_resolved(const char* path, const shred_target& target, int32_t method,
                                  int32_t passes, const shred_job_ctx* ctx) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid directory path: NULL or empty");
    return -1;
  }
  if (passes < 1) {
    shred_set_error("Invalid pass count: %d", passes);
    return -1;
  }
  const int64_t start = shred_get_time_ms();
  os_object_info info{};
  os_directory owned;
  os_dir_handle* dir = open_target(path, target, &owned, &info);
  if (dir == nullptr) return -1;

  os_volume_space before{};
  if (check_file_system(dir, info, path, &before) != 0) return -1;
  if (finish_earlier_wipes(dir)) {
    // What the earlier fill held is free again once the file system has committed its removal.
    os_flush_volume(dir);
    uint32_t error = 0;
    os_volume_space now{};
    if (os_volume_space_of(dir, &now, &error)) before = now;
  }

  shred_buffer buffer(static_cast<uint8_t*>(std::malloc(SHRED_FILL_BLOCK)));
  if (buffer == nullptr) {
    shred_set_error("Memory allocation failed for %u byte shred buffer", SHRED_FILL_BLOCK);
    return -1;
  }

  fill_area area(dir);
  if (area.create(path) != 0) return -1;

  wipe_run run{path, dir, buffer.get(), nullptr, method, passes, 0, 0, ctx};
  run.total = before.available > 0 ? before.available * passes : 1;
  shred_background_fill fill(run.buffer);
  int32_t result = 0;
  int64_t wiped = 0;
  for (int32_t pass = 0; pass < passes && result == 0; ++pass) {
    const shred_pattern pattern = shred_get_pattern(method, pass);
    const bool random = pattern.kind == SHRED_PATTERN_RANDOM;
    if (random && fill.filler() == nullptr) fill.start();
    run.filler = random ? fill.filler() : nullptr;
    if (!random) shred_fill_pattern_buffer(&pattern, run.buffer, SHRED_FILL_BLOCK);
    if (pass == 0) {
      result = fill_pass(run, area, random);
      for (const fill_file& file : area.files()) wiped += file.size;
      // From here the total is known: what the first pass reached, once per pass.
      run.total = wiped * passes;
    } else {
      result = rewrite_pass(run, area, pass, random);
    }
  }
  fill.release();

  if (!area.remove()) {  // the name stays known after a removal
    shred_set_error("The free space wipe could not remove all of its fill: %s%c%s", path,
                    os_separator(), area.name());
    return -1;
  }
  if (result != 0) return -1;

  // What the fill did not reach: blocks kept back from data writes, those of another user's
  // share, and the file system's own records for the fill.
  int64_t unreached = before.free - wiped;
  if (unreached < 0) unreached = 0;
  if (unreached < area.kept_bytes()) unreached = area.kept_bytes();
  shred_record_free_space_stats(run.written, passes, shred_get_time_ms() - start, wiped, unreached);
  return 0;
}
