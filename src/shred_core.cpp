// The file engine and the verification heuristic. The engine is the only code that destroys file
// contents: it checks the path, overwrites the file pass by pass (each pass forced to the device),
// truncates it, gives it a random name in its own directory and deletes it. The verification
// shares nothing with it but the last-error text.
#include "shred_core.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred.h"
#include "shred_patterns.h"
#include "shred_random.h"

namespace {

constexpr size_t kDirectoryPartSize = 1024;
constexpr size_t kNewNameSize = 2048;
constexpr size_t kRandomNameLength = 16;

// Writeback of a pass is started every this many bytes, so that the device works while the next
// chunks are prepared; the one flush at the end of the pass still decides when the pass is done.
constexpr int64_t kWritebackWindow = int64_t{4} << 20;

// Roots, drives, share paths and, on POSIX, device nodes, FIFOs and sockets.
#define SPECIAL_PATH_MESSAGE \
  "Safety violation: refusing to shred root, working directory, or special path: %s"

constexpr uint32_t kVerifySampleSize = 4096;
constexpr double kVerifyPrintableRatio = 0.85;

struct free_deleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using shred_buffer = std::unique_ptr<uint8_t, free_deleter>;

// Roots, the working directory, drives and share or device paths. The same shapes are refused on
// every system.
bool is_refused_shape(const char* path) {
  const size_t length = std::strlen(path);
  if (std::strcmp(path, "/") == 0 || std::strcmp(path, "//") == 0) return true;
  if (std::strcmp(path, ".") == 0 || std::strcmp(path, "..") == 0) return true;
  if (length == 2 && path[1] == ':') return true;
  if (length == 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
  return path[0] == '\\' && path[1] == '\\';
}

// Forms "<directory part><separator>__shred_<16 random characters>.tmp". Returns false, with the
// name unformed, when the directory part would not fit: a shortened part could name another
// directory, so such a file is deleted under its own path instead.
bool format_new_name(const char* path, char (&name)[kNewNameSize]) {
  const char* last = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (os_is_separator(*p)) last = p;
  }
  char directory[kDirectoryPartSize];
  if (last == nullptr) {
    std::strcpy(directory, ".");
  } else {
    const size_t length = last == path ? 1 : static_cast<size_t>(last - path);
    if (length >= sizeof directory) return false;
    std::memcpy(directory, path, length);
    directory[length] = '\0';
  }
  char random[kRandomNameLength + 1];
  shred_random_alphanumeric(random, kRandomNameLength);
  const char separator[2] = {os_separator(), '\0'};
  const int n =
      std::snprintf(name, sizeof name, "%s%s__shred_%s.tmp", directory, separator, random);
  return n > 0 && static_cast<size_t>(n) < sizeof name;
}

// One run's overwrite: `passes` passes over `size` bytes, each from offset 0 and flushed at its
// end. Returns 0 when every pass was written, -1 with the message set when a pass was cancelled
// or could not be written. `written` counts the bytes written over all passes.
int32_t overwrite_passes(const char* path, os_handle file, uint8_t* buffer, int64_t size,
                         int32_t method, int32_t passes, int64_t total, int64_t* written,
                         const shred_job_ctx* ctx) {
  for (int32_t pass = 0; pass < passes; ++pass) {
    if (shred_cancel_requested(ctx)) {
      shred_set_error("Shredding operation cancelled by user");
      return -1;
    }
    if (!os_seek_start(file)) {
      shred_set_error("Seek failed on pass %d: %s", pass + 1, path);
      return -1;
    }
    const shred_pattern pattern = shred_get_pattern(method, pass);
    const bool random = pattern.kind == SHRED_PATTERN_RANDOM;
    if (!random) shred_fill_pattern_buffer(&pattern, buffer, SHRED_BUFFER_SIZE);

    int64_t offset = 0;
    int64_t hinted = 0;
    while (offset < size) {
      if (shred_cancel_requested(ctx)) {
        shred_set_error("Shredding operation cancelled by user");
        return -1;
      }
      const int64_t remaining = size - offset;
      const uint32_t chunk =
          remaining < SHRED_BUFFER_SIZE ? static_cast<uint32_t>(remaining) : SHRED_BUFFER_SIZE;
      if (random) shred_fill_random(buffer, chunk);
      uint32_t done = 0;
      uint32_t error = 0;
      if (!os_write(file, buffer, chunk, &done, &error)) {
        shred_set_error("Write failed on pass %d: %s (error %lu)", pass + 1, path,
                        static_cast<unsigned long>(error));
        return -1;
      }
      offset += chunk;
      *written += chunk;
      if (offset - hinted >= kWritebackWindow) {
        os_start_writeback(file, hinted, offset - hinted);
        hinted = offset;
      }
      if (ctx != nullptr && ctx->progress_cb != nullptr) {
        int64_t percent = *written * 100 / total;
        if (percent > 100) percent = 100;
        ctx->progress_cb(ctx->job_id, static_cast<int32_t>(percent), *written, total);
      }
    }
    os_flush(file);
  }
  return 0;
}

// The checks made before anything is opened. 0 when the path may be shredded; -1 with the
// message set otherwise. Clears a read-only attribute on the way, and never restores it.
int32_t check_path(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    shred_set_error("Invalid file path: path is NULL or empty");
    return -1;
  }
  if (is_refused_shape(path)) {
    shred_set_error(SPECIAL_PATH_MESSAGE, path);
    return -1;
  }
  const uint32_t attributes = os_get_attributes(path);
  if (attributes == OS_ATTR_INVALID) {
    shred_set_error("File not found: %s", path);
    return -1;
  }
  // A link is refused before the directory test, so a link to a directory gets this message.
  if ((attributes & OS_ATTR_REPARSE) != 0) {
    shred_set_error(SHRED_REPARSE_MESSAGE, path);
    return -1;
  }
  if ((attributes & OS_ATTR_DIRECTORY) != 0) {
    shred_set_error("Path is a directory, not a file: %s (use shred_directory instead)", path);
    return -1;
  }
  // Writing to or unlinking a device node, FIFO or socket is never what a caller wants.
  if ((attributes & OS_ATTR_DEVICE) != 0) {
    shred_set_error(SPECIAL_PATH_MESSAGE, path);
    return -1;
  }
  if ((attributes & OS_ATTR_READONLY) != 0) os_clear_readonly(path, attributes);
  return 0;
}

}  // namespace

bool shred_cancel_requested(const shred_job_ctx* ctx) {
  // Relaxed is enough: a late read only moves the stop to the next test.
  return ctx != nullptr && ctx->cancel_flag != nullptr &&
         ctx->cancel_flag->load(std::memory_order_relaxed) != 0;
}

int32_t shred_file_internal(const char* path, int32_t method, int32_t passes,
                            const shred_job_ctx* ctx) {
  if (check_path(path) != 0) return -1;

  uint32_t error = 0;
  os_file file(os_open_exclusive(path, &error));
  if (!file.valid()) {
    shred_set_error("Failed to open file for writing: %s (error %lu)", path,
                    static_cast<unsigned long>(error));
    return -1;
  }
  int64_t size = 0;
  if (!os_file_size(file.get(), &size)) {
    shred_set_error("Failed to get file size: %s", path);
    return -1;
  }
  int32_t pass_count = method == SHRED_METHOD_CUSTOM ? passes : shred_method_passes(method);
  shred_buffer buffer(static_cast<uint8_t*>(std::malloc(SHRED_BUFFER_SIZE)));
  if (!buffer) {
    shred_set_error("Memory allocation failed for %u byte shred buffer",
                    static_cast<unsigned>(SHRED_BUFFER_SIZE));
    return -1;
  }
  if (pass_count < 1) pass_count = 1;
  if (size < 0) size = 0;
  int64_t total = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(pass_count), size, &total)) total = INT64_MAX;
  int64_t written = 0;
  const int64_t start = shred_get_time_ms();

  if (overwrite_passes(path, file.get(), buffer.get(), size, method, pass_count, total, &written,
                       ctx) != 0) {
    return -1;  // the file stays under its name at full length; RAII releases buffer and handle
  }

  // From here on nothing fails the run: the contents are gone.
  buffer.reset();
  os_seek_start(file.get());
  os_truncate_here(file.get());
  os_flush(file.get());
  file.close();

  char new_name[kNewNameSize];
  if (format_new_name(path, new_name) && os_rename(path, new_name)) {
    os_delete_file(new_name);
  } else {
    os_delete_file(path);
  }

  shred_record_stats(1, written, pass_count, shred_get_time_ms() - start);
  return 0;
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
