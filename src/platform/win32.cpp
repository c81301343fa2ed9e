// Windows implementation of the platform layer.
//
// Calls the Win32 functions the library's behaviour is defined in terms of, with the arguments
// that definition names. Nothing here reads the environment or the registry.
// clang-format off
#include <windows.h>
#include <bcrypt.h>  // needs the types <windows.h> defines
// clang-format on

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/test_seams.h"

static_assert(sizeof(os_lock) == sizeof(SRWLOCK), "os_lock must be able to hold an SRWLOCK");

namespace {

PSRWLOCK as_srwlock(os_lock* lock) { return reinterpret_cast<PSRWLOCK>(&lock->opaque); }

}  // namespace

void os_lock_acquire(os_lock* lock) { AcquireSRWLockExclusive(as_srwlock(lock)); }

void os_lock_release(os_lock* lock) { ReleaseSRWLockExclusive(as_srwlock(lock)); }

int64_t os_time_ms() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks =
      (static_cast<uint64_t>(now.dwHighDateTime) << 32) | static_cast<uint64_t>(now.dwLowDateTime);
  return static_cast<int64_t>(ticks / 10000);  // 100 ns units to ms, truncating
}

bool os_random_bytes(void* buffer, uint32_t length) {
  const NTSTATUS status = BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), length,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return status >= 0;
}

uint32_t os_get_attributes(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes == INVALID_FILE_ATTRIBUTES ? OS_ATTR_INVALID
                                               : static_cast<uint32_t>(attributes);
}

void os_clear_readonly(const char* path, uint32_t attributes) {
  SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

char os_separator() { return '\\'; }

bool os_is_separator(char c) { return c == '\\' || c == '/'; }

namespace {

HANDLE as_handle(os_handle file) { return reinterpret_cast<HANDLE>(file); }

os_handle from_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? OS_INVALID_HANDLE : reinterpret_cast<os_handle>(handle);
}

}  // namespace

os_handle os_open_exclusive(const char* path, uint32_t* error) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) *error = static_cast<uint32_t>(GetLastError());
  return from_handle(handle);
}

os_handle os_open_shared_read(const char* path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what we want.
  return from_handle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool os_file_size(os_handle file, int64_t* size) {
  LARGE_INTEGER value;
  value.QuadPart = 0;
  if (!GetFileSizeEx(as_handle(file), &value)) return false;
  *size = static_cast<int64_t>(value.QuadPart);
  return true;
}

bool os_seek_start(os_handle file) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return SetFilePointerEx(as_handle(file), zero, nullptr, FILE_BEGIN) != 0;
}

bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  os_test_write_gate();
#endif
  DWORD count = 0;
  const BOOL ok = WriteFile(as_handle(file), data, length, &count, nullptr);
  *written = count;
  if (!ok || count < length) {
    // A short write without a failure leaves whatever the kernel last reported.
    *error = static_cast<uint32_t>(GetLastError());
    return false;
  }
  return true;
}

bool os_read(os_handle file, void* data, uint32_t length, uint32_t* got) {
  DWORD count = 0;
  const BOOL ok = ReadFile(as_handle(file), data, length, &count, nullptr);
  *got = ok ? count : 0;
  return ok != 0;
}

// Windows starts lazy writeback on its own; there is no cheap hint to give.
void os_start_writeback(os_handle, int64_t, int64_t) {}

void os_flush(os_handle file) { FlushFileBuffers(as_handle(file)); }

void os_truncate_here(os_handle file) { SetEndOfFile(as_handle(file)); }

void os_close(os_handle file) { CloseHandle(as_handle(file)); }

// The C runtime's rename on Windows fails when the new name exists, as the contract asks.
bool os_rename(const char* from, const char* to) { return std::rename(from, to) == 0; }

void os_delete_file(const char* path) { DeleteFileA(path); }

struct os_dir {
  HANDLE find;
  WIN32_FIND_DATAA data;
  bool first_pending;  // FindFirstFileA already delivered the first entry
};

os_dir* os_dir_open(const char* path) {
  char pattern[OS_PATH_MAX];
  const int n = std::snprintf(pattern, sizeof pattern, "%s\\*", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return nullptr;  // never a cut pattern
  auto* listing = static_cast<os_dir*>(std::malloc(sizeof(os_dir)));
  if (listing == nullptr) return nullptr;
  listing->find = FindFirstFileA(pattern, &listing->data);
  if (listing->find == INVALID_HANDLE_VALUE) {
    std::free(listing);
    return nullptr;
  }
  listing->first_pending = true;
  return listing;
}

bool os_dir_next(os_dir* dir, const char** name, uint32_t* attributes) {
  if (dir->first_pending) {
    dir->first_pending = false;
  } else if (!FindNextFileA(dir->find, &dir->data)) {
    return false;  // the end and a failure are alike: the listing is over
  }
  *name = dir->data.cFileName;
  *attributes = static_cast<uint32_t>(dir->data.dwFileAttributes);
  return true;
}

void os_dir_close(os_dir* dir) {
  FindClose(dir->find);
  std::free(dir);
}

void os_remove_directory(const char* path) { RemoveDirectoryA(path); }

namespace {

struct thread_start {
  void (*entry)(void*);
  void* arg;
};

DWORD WINAPI thread_trampoline(LPVOID raw) {
  const thread_start start = *static_cast<thread_start*>(raw);
  std::free(raw);
  start.entry(start.arg);
  return 0;
}

}  // namespace

os_thread* os_thread_start(void (*entry)(void* arg), void* arg) {
  auto* start = static_cast<thread_start*>(std::malloc(sizeof(thread_start)));
  if (start == nullptr) return nullptr;
  *start = thread_start{entry, arg};
  const HANDLE handle = CreateThread(nullptr, 0, thread_trampoline, start, 0, nullptr);
  if (handle == nullptr) {
    std::free(start);
    return nullptr;
  }
  return reinterpret_cast<os_thread*>(handle);
}

bool os_thread_wait(os_thread* thread, uint32_t timeout_ms) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), timeout_ms) == WAIT_OBJECT_0;
}

void os_thread_release(os_thread* thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }
