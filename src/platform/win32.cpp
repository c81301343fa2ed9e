// Windows implementation of the platform layer.
//
// Calls the Win32 functions the library's behaviour is defined in terms of, with the arguments
// that definition names. Win32 has no *at calls: a held directory keeps the path it was found
// at, and its entries are reached as "<that path>\<name>". That is safe because the directory is
// held without delete sharing, so neither it nor (on NTFS) any directory above it can be renamed,
// removed or replaced by a junction while it is held. Every object opened by name is then checked
// through its own handle. Nothing here reads the environment or the registry.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <bcrypt.h>  // needs the types <windows.h> defines
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/test_seams.h"

static_assert(sizeof(os_lock) == sizeof(SRWLOCK), "os_lock must be able to hold an SRWLOCK");

namespace {

PSRWLOCK as_srwlock(os_lock* lock) { return reinterpret_cast<PSRWLOCK>(&lock->opaque); }

}  // namespace

void os_lock_acquire(os_lock* lock) { AcquireSRWLockExclusive(as_srwlock(lock)); }

void os_lock_release(os_lock* lock) { ReleaseSRWLockExclusive(as_srwlock(lock)); }

static_assert(sizeof(os_cond) == sizeof(CONDITION_VARIABLE),
              "os_cond must be able to hold a CONDITION_VARIABLE");

void os_cond_wait(os_cond* cond, os_lock* lock) {
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&cond->opaque), as_srwlock(lock),
                            INFINITE, 0);
}

void os_cond_wake_all(os_cond* cond) {
  WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&cond->opaque));
}

uint32_t os_processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors < 1 ? 1 : static_cast<uint32_t>(info.dwNumberOfProcessors);
}

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

char os_separator() { return '\\'; }

bool os_is_separator(char c) { return c == '\\' || c == '/'; }

namespace {

// Copies [begin, begin + length) into a NUL-terminated buffer; false when it does not fit.
bool copy_part(const char* begin, size_t length, char* out, size_t out_size) {
  if (length + 1 > out_size) return false;
  std::memcpy(out, begin, length);
  out[length] = '\0';
  return true;
}

}  // namespace

bool os_split_path(const char* path, char* parent, size_t parent_size, char* name, size_t name_size,
                   bool* trailing) {
  const size_t length = std::strlen(path);
  // The part no component can be split from: a drive ("K:", any character before the colon, as
  // Windows reads it, also behind a "\\?\" or "\\.\" prefix) and the separators that follow it or
  // start the path ("\", "K:\", "\\").
  size_t root = 0;
  if (length >= 6 && os_is_separator(path[0]) && os_is_separator(path[1]) &&
      (path[2] == '?' || path[2] == '.') && os_is_separator(path[3]) && path[5] == ':') {
    root = 6;
  } else if (length >= 2 && !os_is_separator(path[0]) && path[1] == ':') {
    root = 2;
  }
  while (root < length && os_is_separator(path[root])) ++root;

  size_t end = length;
  while (end > root && os_is_separator(path[end - 1])) --end;
  *trailing = false;
  if (end == root) {
    // A drive or a root names the directory itself; it has no last component of its own.
    if (name_size < 1) return false;
    name[0] = '\0';
    return copy_part(path, length, parent, parent_size);
  }
  *trailing = end < length;
  size_t start = end;
  while (start > root && !os_is_separator(path[start - 1])) --start;
  if (!copy_part(path + start, end - start, name, name_size)) return false;
  if (start == 0) return copy_part(".", 1, parent, parent_size);
  // "K:foo" keeps "K:" (the drive's own working directory), "\foo" keeps "\"; otherwise the
  // separators between the directory part and the name are dropped.
  size_t parent_end = start;
  while (parent_end > root && os_is_separator(path[parent_end - 1])) --parent_end;
  return copy_part(path, parent_end, parent, parent_size);
}

namespace {

HANDLE as_handle(os_handle file) { return reinterpret_cast<HANDLE>(file); }

os_handle from_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? OS_INVALID_HANDLE : reinterpret_cast<os_handle>(handle);
}

// A held directory's path is kept in the "\\?\" form, so room is left for that prefix.
constexpr size_t kPathSize = OS_PATH_MAX + 8;

// A held level: FILE_LIST_DIRECTORY makes the handle count in sharing checks (a handle with
// attribute access only does not), and without FILE_SHARE_DELETE no one can open the directory
// for renaming or deleting while it is held.
constexpr DWORD kDirectoryAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kDirectoryShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The same on every path: a directory can only be opened with backup semantics, and the last
// component is never followed when it is a reparse point.
constexpr DWORD kNoFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// ERROR_REPARSE_POINT_ENCOUNTERED, which the mingw-w64 headers lack: the error of a name that
// leads through a link.
constexpr uint32_t kThroughLinkError = 4395;

// Closes a handle when it goes out of scope, unless released.
class scoped_handle {
 public:
  explicit scoped_handle(HANDLE handle) : handle_(handle) {}
  ~scoped_handle() {
    if (valid()) CloseHandle(handle_);
  }
  scoped_handle(const scoped_handle&) = delete;
  scoped_handle& operator=(const scoped_handle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

uint32_t last_error() { return static_cast<uint32_t>(GetLastError()); }

}  // namespace

struct os_dir_handle {
  HANDLE handle;
  uint64_t volume;       // the volume serial number of the held directory
  char path[kPathSize];  // where it is, as "\\?\K:\dir" (no trailing separator but a root's)
};

namespace {

bool ends_in_separator(const char* path) {
  const size_t length = std::strlen(path);
  return length > 0 && os_is_separator(path[length - 1]);
}

// Forms "<held path>\<name>". The "\\?\" form of the held path makes Windows take the name as it
// is: without it a listed name such as "x." or "..." would be trimmed to "x" or to the directory
// itself, and "nul" or "con" would name a device. A name that is not one plain component of the
// directory is refused, so nothing outside it can be named this way.
bool child_path(const os_dir_handle* dir, const char* name, char (&out)[kPathSize]) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
      std::strpbrk(name, "\\/") != nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const char* separator = ends_in_separator(dir->path) ? "" : "\\";
  const int n = std::snprintf(out, sizeof out, "%s%s%s", dir->path, separator, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);  // never a cut path: it could name another object
    return false;
  }
  return true;
}

os_file_id id_of(const BY_HANDLE_FILE_INFORMATION& data) {
  return os_file_id{data.dwVolumeSerialNumber,
                    (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow};
}

// Reads what an open handle is. Links, mounts and roots are the callers' to judge.
bool describe(HANDLE handle, os_object_info* info, uint32_t* error) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) {
    *error = last_error();
    return false;
  }
  info->attributes = static_cast<uint32_t>(data.dwFileAttributes);
  info->id = id_of(data);
  info->links = data.nNumberOfLinks;
  info->mount_root = false;
  info->pseudo = false;
  info->root = false;
  // A console, pipe or other device reached through a name is no file to overwrite.
  if (GetFileType(handle) != FILE_TYPE_DISK) info->attributes |= OS_ATTR_DEVICE;
  return true;
}

bool handle_id(HANDLE handle, os_file_id* id) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) return false;
  *id = id_of(data);
  return true;
}

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Where Wine says an open handle really is ("\\?\K:\dir\name", links resolved), trailing
// separators dropped; false when it will not say.
bool final_path_of(HANDLE handle, WCHAR (&out)[kPathSize]) {
  const DWORD n =
      GetFinalPathNameByHandleW(handle, out, kPathSize, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= kPathSize) return false;
  size_t length = n;
  while (length > 0 && out[length - 1] == L'\\') --length;
  out[length] = L'\0';
  return true;
}

// A name as Wine spells it in a final path, which drops trailing dots and spaces ("x." becomes
// "x", "..." becomes ".."), so both sides are compared without them.
size_t spelled_length(const WCHAR* name, size_t length) {
  while (length > 0 && (name[length - 1] == L'.' || name[length - 1] == L' ')) --length;
  return length;
}

// Whether two names are the same for Wine's spelling of final paths: case ignored, trailing dots
// and spaces dropped.
bool same_spelling(const WCHAR* a, size_t a_length, const WCHAR* b, size_t b_length) {
  a_length = spelled_length(a, a_length);
  b_length = spelled_length(b, b_length);
  return a_length == b_length &&
         CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length), TRUE) ==
             CSTR_EQUAL;
}

// The same, component by component, for two whole paths.
bool same_path_spelling(const WCHAR* a, const WCHAR* b) {
  for (;;) {
    const WCHAR* a_end = std::wcschr(a, L'\\');
    const WCHAR* b_end = std::wcschr(b, L'\\');
    const size_t a_length = a_end != nullptr ? static_cast<size_t>(a_end - a) : std::wcslen(a);
    const size_t b_length = b_end != nullptr ? static_cast<size_t>(b_end - b) : std::wcslen(b);
    if (!same_spelling(a, a_length, b, b_length)) return false;
    if (a_end == nullptr || b_end == nullptr) return a_end == b_end;
    a = a_end + 1;
    b = b_end + 1;
  }
}

// Under Wine a Unix symbolic link to a file has no reparse bit and opens as the file it names,
// but Wine gives the handle's final path as where the file really is. A name that is a link
// shows there as another last component, or under another directory than the held one's own
// final path. Wine drops trailing dots and spaces from the names it spells there, so what
// cannot be told is a link to a file whose path differs from the link's only in case or in
// such dots and spaces. When Wine will not say, the name is taken for a link: refusing a file can
// be undone, following a link out of the tree cannot.
bool wine_unix_link(HANDLE handle, const char* name, const os_dir_handle* dir) {
  if (!under_wine()) return false;
  WCHAR file_path[kPathSize];
  WCHAR dir_path[kPathSize];
  WCHAR held_path[kPathSize];
  WCHAR asked[OS_NAME_MAX * 2];
  const int asked_length = MultiByteToWideChar(CP_ACP, 0, name, -1, asked, OS_NAME_MAX * 2);
  if (asked_length <= 1 || !final_path_of(handle, file_path) ||
      MultiByteToWideChar(CP_ACP, 0, dir->path, -1, held_path, kPathSize) == 0) {
    return true;
  }
  WCHAR* const separator = std::wcsrchr(file_path, L'\\');
  if (separator == nullptr) return true;
  *separator = L'\0';
  const WCHAR* const found = separator + 1;
  if (!same_spelling(found, std::wcslen(found), asked, static_cast<size_t>(asked_length - 1))) {
    return true;
  }
  // The held directory as Wine spells its final path, or as the walk spelled it: Wine does not
  // spell a directory named "..." the same way in its own final path and in a child's.
  size_t held_length = std::wcslen(held_path);
  while (held_length > 0 && held_path[held_length - 1] == L'\\') held_path[--held_length] = L'\0';
  const bool same_final =
      final_path_of(dir->handle, dir_path) && std::wcscmp(file_path, dir_path) == 0;
  return !same_final && !same_path_spelling(file_path, held_path);
}

// Whether a name of the held directory `dir`, opened by its handle with
// FILE_FLAG_OPEN_REPARSE_POINT, may still have been reached through a link or onto another
// volume. On Windows the handle's own reparse bit says it all. Wine shows a Unix symbolic link to
// a directory as a reparse point in its attributes but follows it on open, and shows a link to a
// file as a plain file: the volume tells that such a link led off the directory's drive (as does
// a drive's root reached through Wine's Unix namespace), and Wine's final path tells the rest.
bool through_link(HANDLE handle, const char* path, const char* name, const os_object_info& info,
                  const os_dir_handle* dir) {
  if ((info.attributes & OS_ATTR_REPARSE) != 0) return true;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return true;
  }
  if (info.id.volume != dir->volume) return true;
  return (info.attributes & OS_ATTR_DIRECTORY) == 0 && wine_unix_link(handle, name, dir);
}

// Opens a directory for its identity alone, following the path as the system does.
bool directory_id(const char* path, os_file_id* id) {
  scoped_handle handle(CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle.valid() && handle_id(handle.get(), id);
}

// Whether the directory at `path`, whose id is `id`, is the root of its volume: the volume's
// mount path (a drive such as "K:\", or a mounted folder) is opened and compared. A path that is
// itself a drive root counts whatever the lookup says.
bool is_volume_root(const char* path, const os_file_id& id) {
  const char* plain = std::strncmp(path, "\\\\?\\", 4) == 0 ? path + 4 : path;
  if (std::strlen(plain) == 3 && plain[1] == ':' && os_is_separator(plain[2])) return true;
  char root[kPathSize];
  if (!GetVolumePathNameA(path, root, sizeof root)) return false;
  os_file_id root_id{};
  return directory_id(root, &root_id) && os_same_file(root_id, id);
}

os_dir_handle* hold(HANDLE handle, uint64_t volume, const char* path, uint32_t* error) {
  auto* dir = static_cast<os_dir_handle*>(std::malloc(sizeof(os_dir_handle)));
  if (dir == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  dir->handle = handle;
  dir->volume = volume;
  std::snprintf(dir->path, sizeof dir->path, "%s", path);  // fits: callers measured it
  return dir;
}

// The held directory's own location, in the "\\?\" form, read from its handle: the caller's
// spelling may be relative ("K:" is the drive's working directory, not its root) or pass through
// junctions that could be retargeted later, while this names the directory itself. Checked by
// opening it again.
bool location_of(HANDLE handle, const os_file_id& id, char (&out)[kPathSize], uint32_t* error) {
  const DWORD n = GetFinalPathNameByHandleA(handle, out, static_cast<DWORD>(sizeof out),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof out) {
    *error = n == 0 ? last_error() : ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  // Trailing separators are dropped, except the one of a drive root ("\\?\K:\").
  size_t length = n;
  while (length > 7 && os_is_separator(out[length - 1])) --length;
  out[length] = '\0';
  os_file_id again{};
  if (!directory_id(out, &again) || !os_same_file(again, id)) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  return true;
}

}  // namespace

os_dir_handle* os_open_directory(const char* path, uint32_t* error) {
  scoped_handle handle(CreateFileA(path, kDirectoryAccess, kDirectoryShare, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) {
    *error = last_error();
    return nullptr;
  }
  os_object_info info{};
  if (!describe(handle.get(), &info, error)) return nullptr;
  if ((info.attributes & OS_ATTR_DIRECTORY) == 0) {
    *error = ERROR_DIRECTORY;
    return nullptr;
  }
  char location[kPathSize];
  if (!location_of(handle.get(), info.id, location, error)) return nullptr;
  os_dir_handle* dir = hold(handle.get(), info.id.volume, location, error);
  if (dir != nullptr) handle.release();
  return dir;
}

os_dir_handle* os_open_subdirectory(os_dir_handle* parent, const char* name, os_object_info* info,
                                    uint32_t* error) {
  char path[kPathSize];
  if (!child_path(parent, name, path)) {
    *error = last_error();
    return nullptr;
  }
  scoped_handle handle(CreateFileA(path, kDirectoryAccess, kDirectoryShare, nullptr, OPEN_EXISTING,
                                   kNoFollow, nullptr));
  if (!handle.valid()) {
    *error = last_error();
    return nullptr;
  }
  if (!describe(handle.get(), info, error)) return nullptr;
  if (through_link(handle.get(), path, name, *info, parent)) {
    *error = kThroughLinkError;
    return nullptr;
  }
  if ((info->attributes & OS_ATTR_DIRECTORY) == 0) {
    *error = ERROR_DIRECTORY;
    return nullptr;
  }
  info->root = is_volume_root(path, info->id);
  os_dir_handle* dir = hold(handle.get(), info->id.volume, path, error);
  if (dir != nullptr) handle.release();
  return dir;
}

void os_close_directory(os_dir_handle* dir) {
  CloseHandle(dir->handle);
  std::free(dir);
}

bool os_directory_info(os_dir_handle* dir, os_object_info* info, uint32_t* error) {
  if (!describe(dir->handle, info, error)) return false;
  info->root = is_volume_root(dir->path, info->id);
  return true;
}

bool os_current_directory_id(os_file_id* id) { return directory_id(".", id); }

bool os_stat_at(os_dir_handle* dir, const char* name, os_object_info* info, uint32_t* error) {
  char path[kPathSize];
  if (!child_path(dir, name, path)) {
    *error = last_error();
    return false;
  }
  // Attribute access only: it works on a file another program holds without sharing.
  scoped_handle handle(CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   kNoFollow, nullptr));
  if (!handle.valid()) {
    *error = last_error();
    return false;
  }
  if (!describe(handle.get(), info, error)) return false;
  if (through_link(handle.get(), path, name, *info, dir)) {
    info->attributes |= OS_ATTR_REPARSE;
  } else if ((info->attributes & OS_ATTR_DIRECTORY) != 0) {
    info->root = is_volume_root(path, info->id);
  }
  return true;
}

bool os_names_directory(os_dir_handle* dir, const char* name, const os_file_id& id) {
  char path[kPathSize];
  if (!child_path(dir, name, path)) return false;
  // Attribute access only, so that neither the walk's own held handle nor another program's
  // sharing choice stands in the way of looking.
  scoped_handle handle(CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   kNoFollow, nullptr));
  if (!handle.valid()) return false;
  os_object_info info{};
  uint32_t error = 0;
  return describe(handle.get(), &info, &error) && os_same_file(info.id, id) &&
         (info.attributes & OS_ATTR_DIRECTORY) != 0 && (info.attributes & OS_ATTR_REPARSE) == 0;
}

namespace {

// Sets or drops the read-only attribute of `name` in a held directory if it still is the regular
// file `id`, through a handle that asks for attribute access only (it works on a file another
// program holds without sharing, but not on one this process holds so). True when changed.
bool set_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id, bool readonly) {
  char path[kPathSize];
  if (!child_path(dir, name, path)) return false;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open: only a file is changed.
  scoped_handle handle(CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) return false;
  os_object_info info{};
  uint32_t error = 0;
  if (!describe(handle.get(), &info, &error) || !os_same_file(info.id, id) ||
      through_link(handle.get(), path, name, info, dir) ||
      (info.attributes & OS_ATTR_DIRECTORY) != 0) {
    return false;
  }
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  // Zero times mean "leave unchanged"; zero attributes would too, so a file left with none gets
  // FILE_ATTRIBUTE_NORMAL, which is valid only alone.
  basic.CreationTime.QuadPart = 0;
  basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = 0;
  basic.ChangeTime.QuadPart = 0;
  if (readonly) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
    basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  } else {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  return SetFileInformationByHandle(handle.get(), FileBasicInfo, &basic, sizeof basic) != 0;
}

}  // namespace

bool os_clear_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  return set_readonly_at(dir, name, id, false);
}

void os_restore_readonly_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  set_readonly_at(dir, name, id, true);
}

namespace {

// Opens or creates (`disposition`) the file `name` of a held directory for reading and writing,
// never through a reparse point. DELETE access lets the file be renamed and deleted through this
// same handle. Share mode 0 keeps every other opener out, and with it any rename or deletion of
// the name. `path` receives the full path; an invalid handle comes with the error.
HANDLE open_file_at(os_dir_handle* dir, const char* name, DWORD disposition,
                    char (&path)[kPathSize], uint32_t* error) {
  if (!child_path(dir, name, path)) {
    *error = last_error();
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) *error = last_error();
  return handle;
}

}  // namespace

os_handle os_open_exclusive_at(os_dir_handle* dir, const char* name, os_object_info* info,
                               uint32_t* error) {
  char path[kPathSize];
  scoped_handle handle(open_file_at(dir, name, OPEN_EXISTING, path, error));
  if (!handle.valid()) return OS_INVALID_HANDLE;
  if (!describe(handle.get(), info, error)) return OS_INVALID_HANDLE;
  if (through_link(handle.get(), path, name, *info, dir)) {
    *error = kThroughLinkError;
    return OS_INVALID_HANDLE;
  }
  if ((info->attributes & (OS_ATTR_DIRECTORY | OS_ATTR_DEVICE)) != 0) {
    *error = ERROR_BAD_FILE_TYPE;
    return OS_INVALID_HANDLE;
  }
  return from_handle(handle.release());
}

os_handle os_open_exclusive(const char* path, uint32_t* error) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) *error = last_error();
  return from_handle(handle);
}

os_handle os_open_shared_read(const char* path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, which is what we want.
  scoped_handle handle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid() || GetFileType(handle.get()) != FILE_TYPE_DISK) return OS_INVALID_HANDLE;
  return from_handle(handle.release());
}

bool os_file_size(os_handle file, int64_t* size) {
  LARGE_INTEGER value;
  value.QuadPart = 0;
  if (!GetFileSizeEx(as_handle(file), &value)) return false;
  *size = static_cast<int64_t>(value.QuadPart);
  return true;
}

bool os_seek(os_handle file, int64_t offset, uint32_t* error) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (SetFilePointerEx(as_handle(file), position, nullptr, FILE_BEGIN)) return true;
  *error = last_error();
  return false;
}

namespace {

// Asked before every chunk: the basic information is the cheapest query that carries the
// attributes (Wine answers it from the file itself, without a round trip to its server).
bool is_sparse(HANDLE handle) {
  FILE_BASIC_INFO basic;
  return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
}

// The first allocated range of a sparse file in [from, limit): 1 with the range, 0 when there is
// none, -1 when the file system cannot list its ranges. NTFS counts every cluster it has given the
// file as allocated, those beyond the valid data length included, so nothing that holds blocks is
// skipped.
int allocated_range(HANDLE handle, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  FILE_ALLOCATED_RANGE_BUFFER query;
  query.FileOffset.QuadPart = from;
  query.Length.QuadPart = limit - from;
  FILE_ALLOCATED_RANGE_BUFFER range;
  DWORD returned = 0;
  // One range is asked for at a time; ERROR_MORE_DATA only says that others follow it.
  const BOOL ok = DeviceIoControl(handle, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                  &range, sizeof range, &returned, nullptr);
  if (!ok && GetLastError() != ERROR_MORE_DATA) return -1;
  if (returned < sizeof range) return 0;  // nothing but holes from here on
  const int64_t first = range.FileOffset.QuadPart;
  const int64_t last = first + range.Length.QuadPart;
  *start = first > from ? first : from;
  *end = last < limit ? last : limit;
  return *start < *end ? 1 : 0;
}

}  // namespace

bool os_next_data(os_handle file, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  if (from < 0) from = 0;
  if (from >= limit) return false;
  if (is_sparse(as_handle(file))) {
    const int found = allocated_range(as_handle(file), from, limit, start, end);
    if (found >= 0) return found == 1;
    // A file system that cannot list its ranges (Wine among them) gets the whole rest written.
  }
  *start = from;
  *end = limit;
  return true;
}

bool os_has_block_map(os_handle file) {
  // A file that is not sparse cannot have holes; a sparse one has a map where its ranges can be
  // listed.
  int64_t start = 0;
  int64_t end = 0;
  return !is_sparse(as_handle(file)) || allocated_range(as_handle(file), 0, 1, &start, &end) >= 0;
}

bool os_file_allocation(os_handle file, os_allocation* allocation) {
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(as_handle(file), FileStandardInfo, &standard,
                                    sizeof standard)) {
    return false;
  }
  allocation->size = static_cast<int64_t>(standard.EndOfFile.QuadPart);
  allocation->allocated = static_cast<int64_t>(standard.AllocationSize.QuadPart);
  return true;
}

bool os_write(os_handle file, const void* data, uint32_t length, uint32_t* written,
              uint32_t* error) {
  uint32_t room = length;
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  os_test_write_gate();
  LARGE_INTEGER zero, position, size;
  zero.QuadPart = 0;
  if (SetFilePointerEx(as_handle(file), zero, &position, FILE_CURRENT) &&
      GetFileSizeEx(as_handle(file), &size)) {
    room = os_test_disk_room(position.QuadPart, size.QuadPart, length);
  }
#endif
  DWORD count = 0;
  const BOOL ok = room == 0 || WriteFile(as_handle(file), data, room, &count, nullptr);
  *written = count;
  if (room < length && ok) {
    *error = ERROR_DISK_FULL;  // the test build's pretended full disk
    return false;
  }
  if (!ok || count < length) {
    // A short write without a failure leaves whatever the kernel last reported.
    *error = last_error();
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

bool os_flush(os_handle file, uint32_t* error) {
#if defined(KELVARIN_SHRED_TEST_SEAMS)
  const uint32_t injected = os_test_flush_failure();
  if (injected != 0) {
    *error = injected;
    return false;
  }
#endif
  if (FlushFileBuffers(as_handle(file))) return true;
  *error = last_error();
  return false;
}

void os_truncate_here(os_handle file) { SetEndOfFile(as_handle(file)); }

void os_close(os_handle file) { CloseHandle(as_handle(file)); }

namespace {

// Whether the open file is the object `id`, and `name` in `dir` still refers to it. The file is
// open without sharing, so no one else can have renamed or deleted it; the second check costs an
// attribute-only open, which sharing does not stop.
bool name_is_open_file(os_dir_handle* dir, const char* name, os_handle file, const os_file_id& id) {
  os_file_id open_id{};
  if (!handle_id(as_handle(file), &open_id) || !os_same_file(open_id, id)) return false;
  char path[kPathSize];
  if (!child_path(dir, name, path)) return false;
  scoped_handle named(CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  kNoFollow, nullptr));
  os_file_id named_id{};
  return named.valid() && handle_id(named.get(), &named_id) && os_same_file(named_id, id);
}

}  // namespace

// Both changes go through the open handle itself, so nothing but the file overwritten can be
// renamed or deleted in its place. There is no path-based fallback: with the file open without
// sharing, MoveFileExA and DeleteFileA could not open it anyway. Wine supports both information
// classes.
bool os_rename_open_file(os_dir_handle* dir, const char* name, const char* new_name, os_handle file,
                         const os_file_id& id) {
  if (!name_is_open_file(dir, name, file, id)) return false;
  char target[kPathSize];
  if (!child_path(dir, new_name, target)) return false;
  // The new name is a full path in the held directory: Windows reads a bare name as relative to
  // the file's directory, Wine as relative to the working directory.
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int wide_length = MultiByteToWideChar(code_page, 0, target, -1, nullptr, 0);
  if (wide_length <= 1) return false;
  const size_t size = offsetof(FILE_RENAME_INFO, FileName) + wide_length * sizeof(WCHAR);
  auto* rename = static_cast<FILE_RENAME_INFO*>(std::calloc(1, size));
  if (rename == nullptr) return false;
  rename->ReplaceIfExists = FALSE;  // never replaces an existing object of the new name
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>((wide_length - 1) * sizeof(WCHAR));
  MultiByteToWideChar(code_page, 0, target, -1, rename->FileName, wide_length);
  const BOOL ok =
      SetFileInformationByHandle(as_handle(file), FileRenameInfo, rename, static_cast<DWORD>(size));
  std::free(rename);
  return ok != 0;
}

// The name goes when the engine closes the handle, which it does next.
bool os_delete_open_file(os_dir_handle* dir, const char* name, os_handle file,
                         const os_file_id& id) {
  if (!name_is_open_file(dir, name, file, id)) return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(as_handle(file), FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

bool os_remove_directory_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  char path[kPathSize];
  if (!child_path(dir, name, path)) return false;
  // Held without delete sharing until it is gone, so that the name checked is the name removed.
  scoped_handle handle(CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   kDirectoryShare, nullptr, OPEN_EXISTING, kNoFollow, nullptr));
  if (!handle.valid()) return false;
  os_object_info info{};
  uint32_t error = 0;
  if (!describe(handle.get(), &info, &error) || !os_same_file(info.id, id) ||
      through_link(handle.get(), path, name, info, dir) ||
      (info.attributes & OS_ATTR_DIRECTORY) == 0) {
    return false;
  }
  // Fails with ERROR_DIR_NOT_EMPTY when anything is left in it; the directory is removed when
  // the handle closes.
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

struct os_dir {
  HANDLE find;
  WIN32_FIND_DATAA data;
  bool first_pending;  // FindFirstFileA already delivered the first entry
};

os_dir* os_list_directory(os_dir_handle* dir) {
  // The listing opens the directory by its path; the held handle keeps that path on it.
  char pattern[kPathSize];
  const char* separator = ends_in_separator(dir->path) ? "" : "\\";
  const int n = std::snprintf(pattern, sizeof pattern, "%s%s*", dir->path, separator);
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

namespace {

// The root of the volume that holds `path`, in the form every volume function takes: "K:\",
// "K:\mounted\folder\" or "\\server\share\". GetVolumePathNameA keeps the "\\?\" prefix of the
// held paths, which the mount-point lookup below does not accept. False when there is no root.
bool volume_root(const char* path, char (&root)[kPathSize]) {
  char found[kPathSize];
  if (!GetVolumePathNameA(path, found, sizeof found)) return false;
  int n = 0;
  if (_strnicmp(found, "\\\\?\\UNC\\", 8) == 0) {
    n = std::snprintf(root, sizeof root, "\\\\%s", found + 8);
  } else {
    const bool prefixed = std::strncmp(found, "\\\\?\\", 4) == 0;
    n = std::snprintf(root, sizeof root, "%s", prefixed ? found + 4 : found);
  }
  return n > 0 && static_cast<size_t>(n) < sizeof root;
}

// A share reached by its server's name rather than through a drive letter mapped to it.
bool is_unc(const char* path) {
  if (_strnicmp(path, "\\\\?\\UNC\\", 8) == 0) return true;
  return os_is_separator(path[0]) && os_is_separator(path[1]) && path[2] != '?' && path[2] != '.';
}

// The file system's own name ("NTFS", "ReFS", "FAT32", "exFAT"), asked of the open handle so that
// a volume mounted in a folder answers for itself; empty when the system will not say.
// Wine answers "NTFS" for every host file system (ext4, btrfs, tmpfs, procfs alike), so a name
// read there says nothing about where the data lives; it is left out, and the file system is
// then judged as unknown rather than trusted.
void filesystem_name(HANDLE handle, const char* root, char (&out)[32]) {
  out[0] = '\0';
  if (under_wine()) return;
  WCHAR wide[MAX_PATH + 1];
  if (GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, wide,
                                    MAX_PATH + 1) &&
      WideCharToMultiByte(CP_ACP, 0, wide, -1, out, static_cast<int>(sizeof out), nullptr,
                          nullptr) > 0) {
    return;
  }
  // Systems older than the handle-based call still answer for the volume's root.
  if (root[0] == '\0' ||
      !GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, out, sizeof out)) {
    out[0] = '\0';
  }
}

// Asks the volume under `root` whether its device pays for seeks, which is what tells a spinning
// disk from flash (Windows' own optimiser decides the same way). The volume is opened with no
// access rights at all: the query needs none, and nothing can be read or written through such a
// handle. Drivers that do not answer (Wine's, with ERROR_NOT_SUPPORTED), volumes without a name
// and every other failure leave the medium unknown rather than guessed.
os_medium medium_of(const char* root) {
  char device[kPathSize];
  if (std::strlen(root) == 3 && root[1] == ':' && os_is_separator(root[2])) {
    std::snprintf(device, sizeof device, "\\\\.\\%c:", root[0]);
  } else {
    // A volume mounted in a folder is opened by its "\\?\Volume{...}" name without the trailing
    // separator, which would open the volume's root directory instead of the volume.
    if (!GetVolumeNameForVolumeMountPointA(root, device, sizeof device)) return OS_MEDIUM_UNKNOWN;
    const size_t length = std::strlen(device);
    if (length > 0 && os_is_separator(device[length - 1])) device[length - 1] = '\0';
  }
  scoped_handle volume(CreateFileA(device, 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume.valid()) return OS_MEDIUM_UNKNOWN;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD returned = 0;
  if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty,
                       sizeof penalty, &returned, nullptr) ||
      returned < sizeof penalty) {
    return OS_MEDIUM_UNKNOWN;
  }
  return penalty.IncursSeekPenalty ? OS_MEDIUM_ROTATIONAL : OS_MEDIUM_FLASH;
}

}  // namespace

bool os_storage_facts(os_dir_handle* dir, const char* name, os_storage* storage, uint32_t* error) {
  // The directory itself is read through the handle that holds it. Anything inside it is opened
  // for its attributes alone: that grants no writing and is not stopped by another program's
  // sharing mode.
  const bool itself = name[0] == '\0';
  char path[kPathSize];
  if (itself) {
    std::snprintf(path, sizeof path, "%s", dir->path);
  } else if (!child_path(dir, name, path)) {
    *error = last_error();
    return false;
  }
  scoped_handle opened(itself ? INVALID_HANDLE_VALUE
                              : CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, kNoFollow, nullptr));
  if (!itself && !opened.valid()) {
    *error = last_error();
    return false;
  }
  const HANDLE handle = itself ? dir->handle : opened.get();
  os_object_info info{};
  if (!describe(handle, &info, error)) return false;
  if (!itself && through_link(handle, path, name, info, dir)) {
    *error = kThroughLinkError;
    return false;
  }

  *storage = os_storage{};
  char root[kPathSize];
  if (!volume_root(path, root)) root[0] = '\0';
  filesystem_name(handle, root, storage->filesystem);
  storage->remote =
      is_unc(path) || is_unc(root) || (root[0] != '\0' && GetDriveTypeA(root) == DRIVE_REMOTE);
  storage->compressed = (info.attributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
  storage->encrypted = (info.attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0;
  // NTFS and ReFS have no per-file mark that promises an overwrite in place. Whether clusters are
  // shared with a block clone (ReFS), whether NTFS keeps a small file's data resident in its file
  // record, or whether extents are stored encoded cannot be asked cheaply: the retrieval-pointer
  // query says where clusters lie, not who else uses them. So those facts are left unknown
  // rather than reported as absent.
  storage->nocow = false;
  storage->shared_extents = false;
  storage->inline_data = false;
  storage->encoded_extents = false;
  storage->extents_known = false;
  // The device of a network drive is on the server, out of reach of this query.
  storage->medium = storage->remote || root[0] == '\0' ? OS_MEDIUM_UNKNOWN : medium_of(root);
  return true;
}

// ---- Free space -------------------------------------------------------------------------------

bool os_volume_space_of(os_dir_handle* dir, os_volume_space* space, uint32_t* error) {
  char path[kPathSize];
  const char* separator = ends_in_separator(dir->path) ? "" : "\\";
  std::snprintf(path, sizeof path, "%s%s", dir->path, separator);
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(path, &available, &total, &free)) {
    *error = last_error();
    return false;
  }
  space->available = static_cast<int64_t>(available.QuadPart);
  space->free = static_cast<int64_t>(free.QuadPart);
  space->total = static_cast<int64_t>(total.QuadPart);
  space->block_size = 4096;
  DWORD sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
  char root[kPathSize];
  if (volume_root(dir->path, root) &&
      GetDiskFreeSpaceA(root, &sectors, &bytes, &free_clusters, &clusters) && sectors * bytes > 0) {
    space->block_size = sectors * bytes;
  }
  DWORD flags = 0;
  space->read_only =
      volume_root(dir->path, root) &&
      GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_READ_ONLY_VOLUME) != 0;
  return true;
}

bool os_make_directory_at(os_dir_handle* dir, const char* name, uint32_t* error) {
  char path[kPathSize];
  // CreateDirectory fails on any existing name, a link or junction included. The new directory
  // takes the access rules its parent passes on.
  if (child_path(dir, name, path) && CreateDirectoryA(path, nullptr)) return true;
  *error = last_error();
  return false;
}

bool os_is_name_taken(uint32_t error) {
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

os_handle os_create_file_at(os_dir_handle* dir, const char* name, os_object_info* info,
                            uint32_t* error) {
  char path[kPathSize];
  scoped_handle handle(open_file_at(dir, name, CREATE_NEW, path, error));
  if (!handle.valid()) return OS_INVALID_HANDLE;
  if (!describe(handle.get(), info, error)) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;  // CREATE_NEW made it ours
    SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof disposition);
    return OS_INVALID_HANDLE;
  }
  return from_handle(handle.release());
}

bool os_is_disk_full(uint32_t error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

// Flushing a whole volume takes administrator rights on Windows; each fill file is flushed on
// its own instead, and NTFS frees deleted clusters without waiting for a commit.
void os_flush_volume(os_dir_handle*) {}

bool os_remove_file_at(os_dir_handle* dir, const char* name, const os_file_id& id) {
  char path[kPathSize];
  if (!child_path(dir, name, path)) return false;
  // Sharing everything asks nothing of other openers; what they refused to share decides what is
  // possible: both the cut and the deletion, only the deletion (the space then comes back when
  // the last of them closes), or only the cut, which at least gives the space back now.
  static const DWORD kAccess[] = {GENERIC_WRITE | DELETE, DELETE, GENERIC_WRITE};
  for (const DWORD access : kAccess) {
    scoped_handle handle(CreateFileA(path, access | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) continue;
    os_object_info info{};
    uint32_t error = 0;
    if (!describe(handle.get(), &info, &error) || !os_same_file(info.id, id) ||
        through_link(handle.get(), path, name, info, dir) ||
        (info.attributes & (OS_ATTR_DIRECTORY | OS_ATTR_DEVICE)) != 0) {
      return false;
    }
    if ((access & GENERIC_WRITE) != 0) {
      LARGE_INTEGER start;
      start.QuadPart = 0;
      if (SetFilePointerEx(handle.get(), start, nullptr, FILE_BEGIN)) SetEndOfFile(handle.get());
    }
    if ((access & DELETE) == 0) return false;
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
  }
  return false;
}

bool os_owned_by_caller(os_dir_handle*) { return true; }

// NTFS keeps no reserve from data writes that a caller could lower.
void os_lower_reserve(os_dir_handle*, os_reserve* reserve) { *reserve = os_reserve{0, false, -1}; }
void os_restore_reserve(os_reserve*) {}
void os_reserve_token(os_dir_handle*, char (&token)[OS_RESERVE_TOKEN_MAX]) {
  std::snprintf(token, sizeof token, "none");
}
void os_put_back_reserve(os_dir_handle*, const char*) {}

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

// WaitForSingleObject measures its timeout on the tick count, which setting the clock does not
// move.
bool os_thread_wait(os_thread* thread, uint32_t timeout_ms) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), timeout_ms) == WAIT_OBJECT_0;
}

void os_thread_release(os_thread* thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }
