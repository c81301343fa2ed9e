// The fixture of the suites that loop-mount images they make: a private directory holding the
// image file and an empty mount point, and what those suites read of a mounted image. Mounting
// needs root, so without it each test skips.
#ifndef KELVARIN_SHRED_TESTS_LOOP_IMAGE_TEST_H
#define KELVARIN_SHRED_TESTS_LOOP_IMAGE_TEST_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "test_util.h"

namespace loop_image {

// The free bytes of the file system that holds `dir` (those kept for root included), once what
// is pending has been written; -1 when they cannot be read.
inline int64_t FreeBytes(const std::string& dir) {
  ::sync();
  struct statvfs vfs {};
  if (statvfs(dir.c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bfree) * static_cast<int64_t>(vfs.f_frsize);
}

// ext4's reserve control for the device mounted on `mnt`, or empty.
inline std::string ReserveControl(const std::string& mnt) {
  struct stat st {};
  if (stat(mnt.c_str(), &st) != 0) return "";
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_dev), minor(st.st_dev));
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  const std::string device = std::string(target).substr(std::string(target).rfind('/') + 1);
  return "/sys/fs/ext4/" + device + "/reserved_clusters";
}

}  // namespace loop_image

class LoopImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting file systems needs root";
    ASSERT_TRUE(dir_.ok());
    mnt_ = dir_ / "mnt";
    image_ = dir_ / "disk.img";
    ASSERT_EQ(0, mkdir(mnt_.c_str(), 0755));
  }

  test_util::TempDir dir_;
  std::string mnt_, image_;
};

#endif  // KELVARIN_SHRED_TESTS_LOOP_IMAGE_TEST_H
