// The storage assessment: whether an overwrite through a file can reach the blocks that held its
// data, judged from what the platform layer reads about the file, its file system, its mount
// and the device below. It reads only; the file is never opened for writing. The judgement and
// the closed list of reasons live here; the facts come from src/platform/.
#include <cstdarg>
#include <cstring>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_assess.h"
#include "shred_core.h"
#include "shred_json.h"
#include "shred_report.h"

namespace {

// What a reason means for the overwrite: old data surely survives elsewhere, the overwrite
// cannot be judged, or only a caution that leaves the verdict as it is.
enum class verdict { kNotInPlace, kUnknown, kCaution };

struct reason {
  const char* code;
  verdict effect;
  const char* detail;
};

// The closed list of reasons, in the order they are reported.
constexpr reason kCopyOnWrite = {
    "copy_on_write", verdict::kNotInPlace,
    "the file system writes changed data to new blocks; the old blocks keep the contents until "
    "they are reused: wipe the free space after shredding (shred_free_space) to destroy them"};
constexpr reason kJournaledData = {
    "journaled_data", verdict::kNotInPlace,
    "the file system is mounted data=journal: the journal keeps copies of written data; wipe the "
    "free space after shredding (shred_free_space) to overwrite them"};
constexpr reason kSharedExtents = {
    "shared_extents", verdict::kNotInPlace,
    "some of the file's blocks are shared with a reflinked copy or a snapshot, which keeps them"};
constexpr reason kCompressed = {
    "compressed", verdict::kNotInPlace,
    "the file is stored compressed: new data is written to new blocks, not over the old ones"};
constexpr reason kLowerLayer = {
    "lower_layer", verdict::kNotInPlace,
    "the file is on an overlay: an original in the lower layer is never touched"};
constexpr reason kInlineData = {
    "inline_data", verdict::kNotInPlace,
    "some of the data is kept inside the file's metadata record, which the file system may copy"};
constexpr reason kNetwork = {"network", verdict::kUnknown,
                             "the data lives on a server whose storage cannot be seen from here"};
constexpr reason kMemory = {
    "memory", verdict::kCaution,
    "the file system is in memory: nothing reaches a disk, but swap may hold copies"};
constexpr reason kFlashMedium = {
    "flash_medium", verdict::kNotInPlace,
    "the device is flash memory: wear levelling writes to fresh cells and keeps old ones"};

constexpr int kMaxReasons = 9;

bool named(const char* filesystem, const char* const* names) {
  for (; *names != nullptr; ++names) {
    if (std::strcmp(filesystem, *names) == 0) return true;
  }
  return false;
}

// Whether `options` (comma-separated) holds `option` as a whole item, or with `prefix` set, an
// item that begins with it ("compress" matches "compress=zstd:3").
bool has_option(const char* options, const char* option, bool prefix = false) {
  const size_t length = std::strlen(option);
  for (const char* p = options; *p != '\0';) {
    const char* end = std::strchr(p, ',');
    const size_t item = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    if ((item == length || (prefix && item > length)) && std::strncmp(p, option, length) == 0) {
      return true;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  return false;
}

// File systems that put changed data in new places, whatever the file.
constexpr const char* kCopyOnWriteSystems[] = {"btrfs", "zfs",  "bcachefs", "nilfs2",
                                               "f2fs",  "ReFS", "refs",     nullptr};
constexpr const char* kNetworkSystems[] = {"nfs", "nfs4",     "cifs",    "smb3", "smbfs",
                                           "9p",  "fuse",     "fuseblk", "ceph", "glusterfs",
                                           "afs", "virtiofs", nullptr};
constexpr const char* kMemorySystems[] = {"tmpfs", "ramfs", nullptr};
// File systems known to overwrite a file's blocks in place when nothing above says otherwise.
constexpr const char* kInPlaceSystems[] = {
    "ext2",  "ext3",    "ext4", "xfs", "jfs",   "reiserfs", "vfat",  "msdos", "exfat", "ntfs",
    "ntfs3", "hfsplus", "NTFS", "FAT", "FAT32", "exFAT",    "tmpfs", "ramfs", nullptr};

struct assessment {
  const reason* reasons[kMaxReasons];
  int count;
  const char* in_place;
};

void add(assessment* a, const reason& r) { a->reasons[a->count++] = &r; }

assessment judge(const os_storage& s) {
  assessment a{};
  const char* fs = s.filesystem;
  if (named(fs, kCopyOnWriteSystems) && !(std::strcmp(fs, "btrfs") == 0 && s.nocow)) {
    add(&a, kCopyOnWrite);
  }
  if ((std::strcmp(fs, "ext3") == 0 || std::strcmp(fs, "ext4") == 0) &&
      has_option(s.mount_options, "data=journal")) {
    add(&a, kJournaledData);
  }
  if (s.shared_extents) add(&a, kSharedExtents);
  if (s.compressed || s.encoded_extents ||
      (std::strcmp(fs, "btrfs") == 0 && has_option(s.mount_options, "compress", true))) {
    add(&a, kCompressed);
  }
  if (std::strcmp(fs, "overlay") == 0) add(&a, kLowerLayer);
  if (s.inline_data) add(&a, kInlineData);
  if (shred_storage_is_network(s)) add(&a, kNetwork);
  if (shred_storage_is_memory(s)) add(&a, kMemory);
  if (s.medium == OS_MEDIUM_FLASH) add(&a, kFlashMedium);

  bool not_in_place = false;
  bool unknown = !named(fs, kInPlaceSystems) && !named(fs, kCopyOnWriteSystems) &&
                 std::strcmp(fs, "overlay") != 0;
  for (int i = 0; i < a.count; ++i) {
    not_in_place = not_in_place || a.reasons[i]->effect == verdict::kNotInPlace;
    unknown = unknown || a.reasons[i]->effect == verdict::kUnknown;
  }
  a.in_place = not_in_place ? "no" : unknown ? "unknown" : "yes";
  return a;
}

}  // namespace

bool shred_storage_is_network(const os_storage& storage) {
  return storage.remote || std::strncmp(storage.filesystem, "fuse.", 5) == 0 ||
         named(storage.filesystem, kNetworkSystems);
}

bool shred_storage_is_memory(const os_storage& storage) {
  return named(storage.filesystem, kMemorySystems);
}

namespace {

const char* medium_name(os_medium medium) {
  switch (medium) {
    case OS_MEDIUM_ROTATIONAL:
      return "rotational";
    case OS_MEDIUM_FLASH:
      return "flash";
    default:
      return "unknown";
  }
}

// Builds the document in the caller's buffer without ever writing past it; the full length is
// counted even where the buffer ends, as snprintf counts it. Text goes in by whole units (a
// character or an escape), and once one does not fit nothing more is stored, so a cut document
// ends between two units.
class json_writer {
 public:
  json_writer(char* buffer, size_t size) : buffer_(buffer), size_(size) {}

  void raw(const char* text) {
    for (; *text != '\0'; ++text) unit(text, 1);
  }
  void string(const char* text) {
    raw("\"");
    shred_json_escape(text, [this](const char* bytes, size_t length) { unit(bytes, length); });
    raw("\"");
  }
  // NUL-terminates what was stored (when there is room for anything) and returns the full length.
  size_t finish() {
    if (size_ > 0) buffer_[stored_] = '\0';
    return length_;
  }

 private:
  void unit(const char* bytes, size_t length) {
    // One byte stays free for the terminator.
    if (stored_ == length_ && length_ + length < size_) {
      std::memcpy(buffer_ + length_, bytes, length);
      stored_ += length;
    }
    length_ += length;
  }

  char* buffer_;
  size_t size_;
  size_t length_ = 0;  // of the whole document
  size_t stored_ = 0;  // of the part in the buffer
};

}  // namespace

extern "C" int32_t shred_assess(const char* path, char* buffer, int32_t size) noexcept {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid file path: path is NULL or empty");
    return -1;
  }
  if (size < 0 || (buffer == nullptr && size != 0)) {
    shred_set_error("Invalid buffer for the assessment of %s: size %d", path, size);
    return -1;
  }
  shred_target target{};
  shred_resolve(path, &target);
  os_directory parent(target.parent);
  os_storage storage{};
  uint32_t error = 0;
  if (!target.fits || !parent.valid()) {
    shred_set_error("File not found: %s", path);
    return -1;
  }
  if (target.name[0] != '\0') {
    os_object_info info{};
    if (!os_stat_at(parent.get(), target.name, &info, &error)) {
      shred_set_error("File not found: %s", path);
      return -1;
    }
    // The library never acts through a link, so there is nothing of its own to assess.
    if ((info.attributes & OS_ATTR_REPARSE) != 0) {
      shred_set_error(SHRED_REPARSE_MESSAGE, path);
      return -1;
    }
  }
  if (!os_storage_facts(parent.get(), target.name, &storage, &error)) {
    shred_set_error("Failed to read the storage of %s (error %lu)", path,
                    static_cast<unsigned long>(error));
    return -1;
  }

  const assessment a = judge(storage);
  json_writer out(buffer, static_cast<size_t>(size));
  out.raw("{\"path\":");
  out.string(path);
  out.raw(",\"filesystem\":");
  out.string(storage.filesystem);
  out.raw(",\"in_place\":");
  out.string(a.in_place);
  out.raw(",\"reasons\":[");
  for (int i = 0; i < a.count; ++i) {
    if (i > 0) out.raw(",");
    out.raw("{\"code\":");
    out.string(a.reasons[i]->code);
    out.raw(",\"detail\":");
    out.string(a.reasons[i]->detail);
    out.raw("}");
  }
  out.raw("],\"medium\":");
  out.string(medium_name(storage.medium));
  out.raw("}");
  const size_t length = out.finish();
  return length > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(length);
}
