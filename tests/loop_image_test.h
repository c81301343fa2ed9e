// The fixture of the suites that loop-mount images they make: a private directory holding the
// image file and an empty mount point. Mounting needs root, so without it each test skips.
#ifndef KELVARIN_SHRED_TESTS_LOOP_IMAGE_TEST_H
#define KELVARIN_SHRED_TESTS_LOOP_IMAGE_TEST_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

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
