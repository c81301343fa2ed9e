// What the POSIX suites share: a mount that is always undone, loop-mounted images, whole-file
// reads, directory names, and markers written to and searched for in raw disk images.
#ifndef KELVARIN_SHRED_TESTS_POSIX_TEST_UTIL_H
#define KELVARIN_SHRED_TESTS_POSIX_TEST_UTIL_H

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace posix_test {

// Unmounts on scope exit. A busy file system is detached lazily rather than left behind, so that
// a failed test never leaves a mount for the next run.
class Mount {
 public:
  explicit Mount(std::string target) : target_(std::move(target)) {}
  ~Mount() {
    if (!unmount()) umount2(target_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  void adopt() { mounted_ = true; }
  // True once the file system is really gone from the mount point.
  bool unmount() {
    if (!mounted_) return true;
    ::sync();
    for (int attempt = 0; attempt < 40; ++attempt) {
      if (umount(target_.c_str()) == 0) {
        mounted_ = false;
        return true;
      }
      if (errno != EBUSY) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  std::string target_;
  bool mounted_ = false;
};

// Makes an empty ext4 image of `mib` MiB and loop-mounts it on the existing directory `mnt`,
// handing the mount to `guard`. Empty on success; otherwise why not, for the test to skip with.
inline std::string MountExt4Image(const std::string& image, int mib, const std::string& mnt,
                                  Mount* guard) {
  if (std::system("PATH=\"$PATH:/sbin:/usr/sbin\" command -v mkfs.ext4 >/dev/null 2>&1") != 0) {
    return "mkfs.ext4 not installed (e2fsprogs)";
  }
  const int fd = open(image.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, off_t{mib} << 20) != 0) {
    if (fd >= 0) close(fd);
    return "cannot create the image file " + image;
  }
  close(fd);
  const std::string mkfs =
      "PATH=\"$PATH:/sbin:/usr/sbin\" mkfs.ext4 -q -F " + image + " >/dev/null 2>&1";
  if (std::system(mkfs.c_str()) != 0) return "mkfs.ext4 failed on " + image;
  if (std::system(("mount -o loop " + image + " " + mnt + " >/dev/null 2>&1").c_str()) != 0) {
    return "cannot loop-mount an ext4 image (no loop device?)";
  }
  guard->adopt();
  return "";
}

// Runs a shell command with the administrator's directories on PATH, quietly. True on success.
inline bool Shell(const std::string& command) {
  return std::system(("PATH=\"$PATH:/sbin:/usr/sbin\" " + command + " >/dev/null 2>&1").c_str()) ==
         0;
}

// Makes a sparse image, formats it with `mkfs` and loop-mounts it with `options`. Empty on
// success; otherwise why not, for the test to skip with.
inline std::string MountImage(const std::string& image, int mib, const std::string& mkfs,
                              const std::string& options, const std::string& mnt, Mount* guard) {
  const std::string tool = mkfs.substr(0, mkfs.find(' '));
  if (!Shell("command -v " + tool)) return tool + " is not installed";
  if (!Shell("truncate -s " + std::to_string(mib) + "M " + image)) return "cannot create " + image;
  if (!Shell(mkfs + " " + image)) return tool + " failed on " + image;
  if (!Shell("mount -o loop" + (options.empty() ? "" : "," + options) + " " + image + " " + mnt)) {
    return "cannot loop-mount the " + tool + " image (no loop device, or no driver)";
  }
  guard->adopt();
  return "";
}

// Writes 256 KiB of marker lines (well past any inline-data limit) and forces them to the
// device. With `nocow`, the empty file is marked NOCOW first, as `chattr +C` would.
inline bool WriteMarker(const std::string& path, const std::string& marker, bool nocow = false) {
  std::string bytes;
  while (bytes.size() < 256 * 1024) bytes += marker + "\n";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  if (nocow) {
    int flags = 0;
    ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags |= FS_NOCOW_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ok = ok && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ok = ok && fsync(fd) == 0;
  close(fd);
  return ok;
}

// Searches a file (a raw image of hundreds of MiB) in chunks that overlap by the needle's length.
inline bool Contains(const std::string& path, const std::string& needle) {
  std::ifstream in(path, std::ios::binary);
  std::string window;
  std::vector<char> chunk(4 << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    window.append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (window.find(needle) != std::string::npos) return true;
    window.erase(0, window.size() > needle.size() ? window.size() - needle.size() : 0);
  }
  return false;
}

inline std::string ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string out;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fd);
  return out;
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.insert(e->d_name);
    }
  }
  closedir(d);
  return names;
}

// 32 hex characters from the kernel: no accidental match anywhere in a disk image.
inline std::string Token() {
  unsigned char raw[16] = {};
  if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) return "getrandom-failed";
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : raw) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace posix_test

#endif  // KELVARIN_SHRED_TESTS_POSIX_TEST_UTIL_H
