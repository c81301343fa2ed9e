// The directory walk on real trees: refusals before any listing, flat and recursive runs, failed
// entries that keep their ancestors, links that must never lead outside the tree, cancellation,
// and paths too long to form.
#include "shred_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "shred_report.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::current_stats;
using test_util::read_file;
using test_util::sample_content;
using test_util::TempDir;
using test_util::write_file;

using test_util::on_windows;

// Every regular file under `root` with its contents, for proving a tree untouched.
std::vector<std::pair<std::string, std::vector<uint8_t>>> snapshot(const fs::path& root) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files.emplace_back(e.path().string(), read_file(e.path().string()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Creates a symbolic link, or says why the test cannot.
bool make_link(const fs::path& target, const fs::path& link, bool directory) {
  std::error_code ec;
  if (directory) {
    fs::create_directory_symlink(target, link, ec);
  } else {
    fs::create_symlink(target, link, ec);
  }
  return !ec;
}

TEST(DirRefuses, EmptyRootAndWorkingDirectoryBeforeListing) {
  EXPECT_EQ(-1, shred_directory(nullptr, SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid directory path: NULL or empty", shred_last_error());
  EXPECT_EQ(-1, shred_directory_recursive("", SHRED_METHOD_QUICK));
  EXPECT_STREQ("Invalid directory path: NULL or empty", shred_last_error());

  TempDir dir;
  write_file(dir.file("keep.txt"), "keep");
  const auto saved = fs::current_path();
  fs::current_path(dir.path());
  for (const char* path : {"/", ".", ".."}) {
    EXPECT_EQ(-1, shred_directory_recursive(path, SHRED_METHOD_QUICK));
    EXPECT_EQ(std::string("Safety violation: refusing to shred root or working directory: ") + path,
              shred_last_error());
  }
  fs::current_path(saved);
  EXPECT_EQ((std::vector<uint8_t>{'k', 'e', 'e', 'p'}), read_file(dir.file("keep.txt")));
}

TEST(DirRefuses, FilesAndMissingPathsCannotBeListed) {
  TempDir dir;
  const std::string file = dir.file("plain.txt");
  write_file(file, "contents");
  EXPECT_EQ(-1, shred_directory(file.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Failed to list directory: " + file, shred_last_error());
  EXPECT_EQ(8u, read_file(file).size());
  const std::string missing = dir.file("nothing");
  EXPECT_EQ(-1, shred_directory_recursive(missing.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Failed to list directory: " + missing, shred_last_error());
}

TEST(DirFlat, DestroysFilesLeavesSubdirectoriesAndRemovesOnlyAnEmptiedDirectory) {
  TempDir dir;
  const fs::path top = dir.path() / "top";
  fs::create_directory(top);
  write_file((top / "a.txt").string(), sample_content(1000));
  write_file((top / ".hidden").string(), sample_content(777));
  shred_set_error("stale");
  ASSERT_EQ(0, shred_directory(top.string().c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  EXPECT_STREQ("No error", shred_last_error());
  EXPECT_FALSE(fs::exists(top));
  EXPECT_EQ(1, current_stats().files);
  EXPECT_EQ(3, current_stats().passes);

  fs::create_directories(top / "sub");
  write_file((top / "a.txt").string(), sample_content(10));
  write_file((top / "sub" / "kept.txt").string(), sample_content(10));
  ASSERT_EQ(0, shred_directory(top.string().c_str(), SHRED_METHOD_QUICK));
  EXPECT_FALSE(fs::exists(top / "a.txt"));
  EXPECT_EQ(sample_content(10), read_file((top / "sub" / "kept.txt").string()));
}

TEST(DirFlat, EmptyDirectoryIsRemovedAndStatisticsStayAsTheyWere) {
  TempDir dir;
  const fs::path empty = dir.path() / "empty";
  fs::create_directory(empty);
  shred_record_stats(1, 123, 3, 4);
  ASSERT_EQ(0, shred_directory(empty.string().c_str(), SHRED_METHOD_QUICK));
  EXPECT_FALSE(fs::exists(empty));
  EXPECT_EQ(123, current_stats().bytes);
}

TEST(DirRecursive, WholeTreeWithDotFilesEmptyDirectoriesAndDeepChain) {
  TempDir dir;
  const fs::path top = dir.path() / "tree";
  fs::create_directories(top / "empty1" / "empty2");
  fs::create_directories(top / ".dotdir");
  write_file((top / ".dotdir" / ".dotfile").string(), sample_content(5000));
  write_file((top / "root.bin").string(), sample_content(70000));
  fs::path deep = top;
  for (int i = 0; i < (on_windows() ? 20 : 50); ++i) deep /= "d";
  fs::create_directories(deep);
  write_file((deep / "bottom.txt").string(), sample_content(100));
  for (int i = 0; i < 30; ++i) write_file((top / ("f" + std::to_string(i))).string(), "x");

  ASSERT_EQ(0, shred_directory_recursive(top.string().c_str(), SHRED_METHOD_CUSTOM))
      << shred_last_error();
  EXPECT_FALSE(fs::exists(top));
  EXPECT_TRUE(test_util::entries(dir.path()).empty());
  EXPECT_EQ(1, current_stats().passes);  // Custom through the directory entry points: one pass
}

TEST(DirRecursive, LinksNeverLeadOutsideTheTreeAndAreNeverRemoved) {
  TempDir dir;
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(outside / "nested");
  write_file((outside / "target.txt").string(), sample_content(3000, 7));
  for (int i = 0; i < 5; ++i) {
    write_file((outside / "nested" / ("n" + std::to_string(i))).string(), sample_content(900, i));
  }
  const auto before = snapshot(outside);

  // Inside: files, dot-files, empty directories, a chain of 50 nested directories, and links
  // to a file and to a directory full of files outside the tree.
  const fs::path top = dir.path() / "tree";
  fs::create_directories(top / "plain" / "deeper");
  fs::create_directories(top / "plain" / "empty");
  fs::create_directories(top / "with_links");
  write_file((top / "plain" / "deeper" / "x.bin").string(), sample_content(100));
  write_file((top / "plain" / ".dot").string(), sample_content(100));
  fs::path chain = top / "plain";
  for (int i = 0; i < (on_windows() ? 20 : 50); ++i) chain /= "c";
  fs::create_directories(chain);
  write_file((chain / "deepest").string(), sample_content(100));
  write_file((top / "with_links" / "y.bin").string(), sample_content(100));
  if (!make_link(outside / "target.txt", top / "with_links" / "file_link", false) ||
      !make_link(outside, top / "with_links" / "dir_link", true)) {
    GTEST_SKIP() << "symbolic links cannot be created here";
  }

  EXPECT_EQ(-1, shred_directory_recursive(top.string().c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(before, snapshot(outside));
  EXPECT_TRUE(fs::is_symlink(top / "with_links" / "file_link"));
  EXPECT_TRUE(fs::is_symlink(top / "with_links" / "dir_link"));
  // Everything else inside is gone; only the links and the directories above them stay.
  EXPECT_EQ(std::vector<std::string>{"with_links"}, test_util::entries(top));
  auto left = test_util::entries(top / "with_links");
  std::sort(left.begin(), left.end());
  EXPECT_EQ((std::vector<std::string>{"dir_link", "file_link"}), left);
  EXPECT_NE(std::string::npos, std::string(shred_last_error()).find("reparse point/symlink"));
}

TEST(DirRecursive, RequestedDirectoryThatIsALinkIsNotListed) {
  TempDir dir;
  const fs::path real = dir.path() / "real";
  fs::create_directory(real);
  write_file((real / "file.txt").string(), sample_content(100));
  const fs::path link = dir.path() / "link";
  if (!make_link(real, link, true)) GTEST_SKIP() << "symbolic links cannot be created here";

  EXPECT_EQ(-1, shred_directory_recursive(link.string().c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("Safety violation: refusing to shred reparse point/symlink directly: " + link.string(),
            shred_last_error());
  const std::string with_separator = link.string() + os_separator();
  EXPECT_EQ(-1, shred_directory_recursive(with_separator.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(sample_content(100), read_file((real / "file.txt").string()));
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST(DirRecursive, FileThatCannotBeOpenedKeepsItsAncestorsAndTheRestGoes) {
  TempDir dir;
  const fs::path top = dir.path() / "tree";
  fs::create_directories(top / "a" / "b");
  fs::create_directories(top / "c");
  const std::string locked = (top / "a" / "b" / "locked.txt").string();
  write_file(locked, sample_content(4000));
  write_file((top / "a" / "b" / "other.txt").string(), sample_content(10));
  write_file((top / "a" / "sibling.txt").string(), sample_content(10));
  write_file((top / "c" / "z.txt").string(), sample_content(10));

  uint32_t error = 0;
  os_file holder(os_open_exclusive(locked.c_str(), &error));
  ASSERT_TRUE(holder.valid());
  // A trailing separator is used as given, so the child paths carry a doubled one.
  const std::string requested = top.string() + os_separator();
  EXPECT_EQ(-1, shred_directory_recursive(requested.c_str(), SHRED_METHOD_QUICK));
  holder.close();

  const std::string sep(1, os_separator());
  const std::string expected_path = requested + sep + "a" + sep + "b" + sep + "locked.txt";
  EXPECT_EQ(0u, std::string(shred_last_error())
                    .find("Failed to open file for writing: " + expected_path + " (error "))
      << shred_last_error();
  EXPECT_EQ(sample_content(4000), read_file(locked));
  EXPECT_FALSE(fs::exists(top / "a" / "b" / "other.txt"));
  EXPECT_FALSE(fs::exists(top / "a" / "sibling.txt"));
  EXPECT_FALSE(fs::exists(top / "c"));
  EXPECT_EQ(std::vector<std::string>{"a"}, test_util::entries(top));
}

TEST(DirCancel, FlagSetBeforeTheWalkStopsAtTheFirstEntry) {
  TempDir dir;
  const fs::path top = dir.path() / "tree";
  fs::create_directories(top / "sub");
  write_file((top / "sub" / "f").string(), sample_content(10));
  write_file((top / "g").string(), sample_content(10));
  const auto before = snapshot(top);
  std::atomic<int32_t> flag{1};
  shred_job_ctx ctx{&flag, 1, 0, nullptr};
  EXPECT_EQ(-1, shred_dir_internal(top.string().c_str(), SHRED_METHOD_QUICK, 1, 1, &ctx));
  EXPECT_STREQ("Directory shredding cancelled by user", shred_last_error());
  EXPECT_EQ(before, snapshot(top));
  // The listing still starts first, so a path that cannot be listed says so.
  EXPECT_EQ(-1, shred_dir_internal(dir.file("none").c_str(), SHRED_METHOD_QUICK, 1, 1, &ctx));
  EXPECT_EQ("Failed to list directory: " + dir.file("none"), shred_last_error());
}

TEST(DirLongPaths, EntryWhosePathDoesNotFitIsSkippedAsAFailure) {
  if (on_windows()) GTEST_SKIP() << "creating paths past 260 characters needs extended paths";
  TempDir dir;
  // Directories nested until the next level's child path exceeds the walk's buffer; built
  // relative to the working directory, since the absolute path is too long for the kernel.
  const auto saved = fs::current_path();
  fs::current_path(dir.path());
  std::string relative = "tree";
  fs::create_directory("tree");
  fs::current_path("tree");
  const std::string segment(200, 's');
  while (dir.path().string().size() + relative.size() < OS_PATH_MAX - 150) {
    fs::create_directory(segment);
    fs::current_path(segment);
    relative += "/" + segment;
  }
  write_file(std::string(200, 'f'), sample_content(10));  // this child path is past the limit
  write_file("short", sample_content(10));
  fs::current_path(saved);

  const std::string top = dir.file("tree");
  EXPECT_EQ(-1, shred_directory_recursive(top.c_str(), SHRED_METHOD_QUICK));
  EXPECT_NE(std::string::npos, std::string(shred_last_error()).find("Path too long"))
      << shred_last_error();
  fs::current_path(dir.path() / relative);
  EXPECT_EQ(sample_content(10), read_file(std::string(200, 'f')));
  EXPECT_FALSE(fs::exists("short"));
  fs::current_path(saved);
}

}  // namespace
