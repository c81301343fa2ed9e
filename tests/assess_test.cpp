// The storage assessment against real file systems: loop-mounted ext4 (ordered and data=journal),
// btrfs (copy-on-write and NOCOW), xfs with a reflinked copy, overlayfs and tmpfs. Each case
// writes a marker, assesses the file, shreds it and then searches the device for the marker: an
// assessment that said "yes" where the marker survived would be a lie. Mount tests need root and
// the mkfs tools, and skip themselves otherwise; every mount is undone by RAII on every exit
// path, and `mount -o loop` frees its loop device when the file system is unmounted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "json_test_util.h"
#include "kelvarin_shred.h"
#include "loop_image_test.h"
#include "posix_test_util.h"
#include "test_util.h"

namespace {

using json_test::Json;
using posix_test::Contains;
using posix_test::Mount;
using posix_test::MountImage;
using posix_test::ReadFile;
using posix_test::Shell;
using posix_test::Token;
using posix_test::WriteMarker;
using test_util::TempDir;

const std::set<std::string> kCodes = {"copy_on_write", "journaled_data", "shared_extents",
                                      "compressed",    "lower_layer",    "inline_data",
                                      "network",       "memory",         "flash_medium"};

// Assesses `path`, asking first for the length as a caller would, and checks that the document
// is one valid, complete object: every member present with a value from its closed set.
Json Assess(const std::string& path) {
  const int32_t length = shred_assess(path.c_str(), nullptr, 0);
  EXPECT_GT(length, 0) << path << ": " << shred_last_error();
  if (length <= 0) return Json{};
  std::string text(static_cast<size_t>(length) + 1, '\x7f');
  EXPECT_EQ(length, shred_assess(path.c_str(), &text[0], length + 1));
  EXPECT_EQ('\0', text[static_cast<size_t>(length)]);
  text.resize(static_cast<size_t>(length));
  Json doc;
  EXPECT_TRUE(json_test::parse_object(text, &doc)) << "not a JSON object: " << text;
  EXPECT_EQ(5u, doc.members.size()) << text;
  EXPECT_EQ(path, doc.members["path"].text) << text;
  EXPECT_EQ(Json::kString, doc.members["filesystem"].kind) << text;
  EXPECT_TRUE(std::set<std::string>({"yes", "no", "unknown"}).count(doc.members["in_place"].text))
      << text;
  EXPECT_TRUE(
      std::set<std::string>({"rotational", "flash", "unknown"}).count(doc.members["medium"].text))
      << text;
  const Json& reasons = doc.members["reasons"];
  EXPECT_EQ(Json::kArray, reasons.kind) << text;
  for (const Json& r : reasons.items) {
    EXPECT_EQ(2u, r.members.size()) << text;
    EXPECT_TRUE(r.members.count("code") && kCodes.count(r.members.at("code").text)) << text;
    EXPECT_TRUE(r.members.count("detail") && !r.members.at("detail").text.empty()) << text;
  }
  return doc;
}

std::set<std::string> Codes(const Json& doc) {
  std::set<std::string> codes;
  const auto it = doc.members.find("reasons");
  if (it == doc.members.end()) return codes;
  for (const Json& r : it->second.items) {
    const auto code = r.members.find("code");
    if (code != r.members.end()) codes.insert(code->second.text);
  }
  return codes;
}

std::string Member(const Json& doc, const char* key) {
  const auto it = doc.members.find(key);
  return it == doc.members.end() ? std::string() : it->second.text;
}

// Whether the loop device under `mnt` says it is not rotational: the assessment must then name
// flash_medium, whatever the file system.
bool LoopIsFlash(const std::string& mnt) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string source, target, rest;
       mounts >> source >> target && std::getline(mounts, rest);) {
    if (target != mnt || source.rfind("/dev/", 0) != 0) continue;
    std::string rotational =
        ReadFile("/sys/block/" + source.substr(std::strlen("/dev/")) + "/queue/rotational");
    return rotational.rfind('0', 0) == 0;
  }
  return false;
}

// The one promise the assessment makes: where the marker survived the shred, it did not say
// "yes". Also prints the row of the results table that the run leaves in its log.
void ExpectHonest(const char* name, const Json& doc, bool survived) {
  std::string codes;
  for (const std::string& c : Codes(doc)) codes += (codes.empty() ? "" : ",") + c;
  std::cout << "[ assess ] " << name << ": filesystem=" << Member(doc, "filesystem")
            << " in_place=" << Member(doc, "in_place") << " reasons=" << codes
            << " medium=" << Member(doc, "medium") << " marker " << (survived ? "SURVIVED" : "gone")
            << "\n";
  if (survived) {
    EXPECT_NE("yes", Member(doc, "in_place")) << name << ": the data survived";
  }
}

class AssessOnDisk : public LoopImageTest {
 protected:
  // Assesses and shreds each file (3 passes), then unmounts and reports whether each marker is
  // still somewhere in the image.
  std::vector<bool> AssessShredSearch(Mount* guard, const std::vector<std::string>& files,
                                      const std::vector<std::string>& markers,
                                      std::vector<Json>* docs) {
    for (const std::string& f : files) docs->push_back(Assess(f));
    for (const std::string& f : files) {
      EXPECT_EQ(0, shred_file(f.c_str(), SHRED_METHOD_DOD_3PASS))
          << f << ": " << shred_last_error();
    }
    EXPECT_TRUE(guard->unmount()) << "still mounted: " << std::strerror(errno);
    std::vector<bool> survived;
    for (const std::string& m : markers) survived.push_back(Contains(image_, m + "\n" + m));
    return survived;
  }
};

TEST_F(AssessOnDisk, Ext4OrderedOverwritesInPlaceAndDataJournalDoesNot) {
  {
    Mount guard(mnt_);
    const std::string why_not = posix_test::MountExt4Image(image_, 32, mnt_, &guard);
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    const bool flash = LoopIsFlash(mnt_);
    const std::string marker = Token();
    ASSERT_TRUE(WriteMarker(mnt_ + "/ordered.txt", marker));
    std::vector<Json> docs;
    const auto survived = AssessShredSearch(&guard, {mnt_ + "/ordered.txt"}, {marker}, &docs);
    ExpectHonest("ext4 ordered", docs[0], survived[0]);
    EXPECT_EQ("ext4", Member(docs[0], "filesystem"));
    EXPECT_EQ(flash ? "no" : "yes", Member(docs[0], "in_place"));
    EXPECT_EQ(flash ? std::set<std::string>{"flash_medium"} : std::set<std::string>{},
              Codes(docs[0]));
    EXPECT_FALSE(survived[0]) << "a 3-pass shred left the data on ext4";
  }
  ASSERT_EQ(0, unlink(image_.c_str()));
  Mount guard(mnt_);
  const std::string why_not =
      MountImage(image_, 32, "mkfs.ext4 -q -F", "data=journal", mnt_, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const std::string marker = Token();
  ASSERT_TRUE(WriteMarker(mnt_ + "/journaled.txt", marker));
  std::vector<Json> docs;
  const auto survived = AssessShredSearch(&guard, {mnt_ + "/journaled.txt"}, {marker}, &docs);
  ExpectHonest("ext4 data=journal", docs[0], survived[0]);
  EXPECT_EQ("no", Member(docs[0], "in_place"));
  EXPECT_EQ(1u, Codes(docs[0]).count("journaled_data"));
}

TEST_F(AssessOnDisk, BtrfsCopiesOnWriteUnlessTheFileIsNocow) {
  Mount guard(mnt_);
  // 128 MiB: below about 110 MiB mkfs.btrfs wants mixed block groups.
  const std::string why_not = MountImage(image_, 128, "mkfs.btrfs -q -f", "", mnt_, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const bool flash = LoopIsFlash(mnt_);
  const std::string cow = Token(), nocow = Token();
  ASSERT_TRUE(WriteMarker(mnt_ + "/cow.txt", cow));
  ASSERT_TRUE(WriteMarker(mnt_ + "/nocow.txt", nocow, /*nocow=*/true));
  std::vector<Json> docs;
  const auto survived =
      AssessShredSearch(&guard, {mnt_ + "/cow.txt", mnt_ + "/nocow.txt"}, {cow, nocow}, &docs);
  ExpectHonest("btrfs", docs[0], survived[0]);
  ExpectHonest("btrfs NOCOW", docs[1], survived[1]);
  EXPECT_EQ("btrfs", Member(docs[0], "filesystem"));
  EXPECT_EQ("no", Member(docs[0], "in_place"));
  EXPECT_EQ(1u, Codes(docs[0]).count("copy_on_write"));
  EXPECT_EQ(0u, Codes(docs[1]).count("copy_on_write"));
  EXPECT_EQ(flash, Codes(docs[1]).count("flash_medium") == 1);
}

TEST_F(AssessOnDisk, XfsReflinkedCopyKeepsTheOldBlocks) {
  Mount guard(mnt_);
  // Current mkfs.xfs refuses file systems smaller than 300 MiB; the image is sparse.
  const std::string why_not =
      MountImage(image_, 320, "mkfs.xfs -q -f -m reflink=1", "", mnt_, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const std::string marker = Token();
  const std::string file = mnt_ + "/original.txt";
  ASSERT_TRUE(WriteMarker(file, marker));
  ASSERT_TRUE(Shell("cp --reflink=always " + file + " " + mnt_ + "/copy.txt"));
  std::vector<Json> docs;
  const auto survived = AssessShredSearch(&guard, {file}, {marker}, &docs);
  ExpectHonest("xfs reflink", docs[0], survived[0]);
  EXPECT_EQ("xfs", Member(docs[0], "filesystem"));
  EXPECT_EQ("no", Member(docs[0], "in_place"));
  EXPECT_EQ(1u, Codes(docs[0]).count("shared_extents"));
}

TEST_F(AssessOnDisk, OverlayLowerLayerSurvivesAndTmpfsIsMemory) {
  const std::string lower = dir_ / "lower", upper = dir_ / "upper", work = dir_ / "work";
  for (const std::string& d : {lower, upper, work}) ASSERT_EQ(0, mkdir(d.c_str(), 0755));
  const std::string marker = Token();
  ASSERT_TRUE(WriteMarker(lower + "/layered.txt", marker));
  {
    Mount guard(mnt_);
    if (!Shell("mount -t overlay overlay -o lowerdir=" + lower + ",upperdir=" + upper +
               ",workdir=" + work + " " + mnt_)) {
      GTEST_SKIP() << "cannot mount overlayfs here";
    }
    guard.adopt();
    const std::string file = mnt_ + "/layered.txt";
    const Json doc = Assess(file);
    EXPECT_EQ(0, shred_file(file.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
    EXPECT_EQ(std::set<std::string>{}, posix_test::Names(mnt_));
    ASSERT_TRUE(guard.unmount());
    const bool survived = ReadFile(lower + "/layered.txt").find(marker) != std::string::npos;
    ExpectHonest("overlay (lower file)", doc, survived);
    EXPECT_EQ("overlay", Member(doc, "filesystem"));
    EXPECT_EQ("no", Member(doc, "in_place"));
    EXPECT_EQ(1u, Codes(doc).count("lower_layer"));
  }
  Mount guard(mnt_);
  ASSERT_TRUE(Shell("mount -t tmpfs -o size=4m tmpfs " + mnt_)) << "cannot mount tmpfs";
  guard.adopt();
  const std::string file = mnt_ + "/memory.txt";
  const std::string memory_marker = Token();
  ASSERT_TRUE(WriteMarker(file, memory_marker));
  const Json doc = Assess(file);
  const Json of_directory = Assess(mnt_);
  EXPECT_EQ(0, shred_file(file.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  // Nothing of tmpfs outlives it; what is left to search is whatever the mount still holds.
  bool survived = false;
  for (const std::string& name : posix_test::Names(mnt_)) {
    survived = survived || ReadFile(mnt_ + "/" + name).find(memory_marker) != std::string::npos;
  }
  ExpectHonest("tmpfs", doc, survived);
  EXPECT_EQ("tmpfs", Member(doc, "filesystem"));
  EXPECT_EQ("yes", Member(doc, "in_place"));
  EXPECT_EQ(std::set<std::string>{"memory"}, Codes(doc));
  EXPECT_EQ("unknown", Member(doc, "medium"));
  EXPECT_EQ("tmpfs", Member(of_directory, "filesystem"));
}

TEST(AssessCalls, CutsSafelyRefusesBadPathsAndLinksAndChangesNothing) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string file = dir / "kept.txt";
  test_util::write_file(file, test_util::sample_content(100000));
  struct stat before {};
  ASSERT_EQ(0, stat(file.c_str(), &before));
  const std::string contents = ReadFile(file);

  const int32_t full = shred_assess(file.c_str(), nullptr, 0);
  ASSERT_GT(full, 20) << shred_last_error();
  std::string whole(static_cast<size_t>(full) + 1, '\0');
  ASSERT_EQ(full, shred_assess(file.c_str(), &whole[0], full + 1));
  for (int32_t size : {1, 10, full / 2, full}) {
    std::string buffer(static_cast<size_t>(full) + 16, '#');
    EXPECT_EQ(full, shred_assess(file.c_str(), &buffer[0], size)) << size;
    const size_t end = buffer.find('\0');
    ASSERT_LT(end, static_cast<size_t>(size)) << "not terminated inside the buffer: " << size;
    EXPECT_EQ(whole.substr(0, end), buffer.substr(0, end)) << size;
    EXPECT_EQ(std::string(buffer.size() - size, '#'), buffer.substr(static_cast<size_t>(size)))
        << "written past size " << size;
  }

  EXPECT_EQ(-1, shred_assess(nullptr, nullptr, 0));
  EXPECT_STRNE("", shred_last_error());
  EXPECT_EQ(-1, shred_assess("", nullptr, 0));
  EXPECT_STRNE("", shred_last_error());
  const std::string missing = dir / "missing.txt";
  EXPECT_EQ(-1, shred_assess(missing.c_str(), nullptr, 0));
  EXPECT_NE(nullptr, std::strstr(shred_last_error(), missing.c_str())) << shred_last_error();
  const std::string link = dir / "link.txt";
  ASSERT_EQ(0, symlink(file.c_str(), link.c_str()));
  char buffer[512];
  EXPECT_EQ(-1, shred_assess(link.c_str(), buffer, sizeof buffer));
  EXPECT_NE(nullptr, std::strstr(shred_last_error(), link.c_str())) << shred_last_error();

  // Several assessments later the file is exactly as it was: contents, data and status times.
  struct stat after {};
  ASSERT_EQ(0, stat(file.c_str(), &after));
  EXPECT_EQ(contents, ReadFile(file));
  const auto times = [](const struct stat& st) {
    return std::vector<long long>{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                                  st.st_ctim.tv_nsec, static_cast<long long>(st.st_ino)};
  };
  EXPECT_EQ(times(before), times(after));
}

}  // namespace
