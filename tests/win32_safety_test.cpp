// What "never outside the target" means on Windows: junctions and symbolic links inside a tree,
// levels of a walk that someone tries to rename, files with two names, names that Windows would
// trim, and the spellings of the working directory. The WineSafety suite
// tries drive roots and drive-relative spellings; it runs only inside the private Wine prefix
// that scripts/wine-safety builds (drives C: inside the prefix and K: a canary tree), never
// against a prefix whose Z: is the machine's "/".
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/platform.h"
#include "platform/test_seams.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::read_file;
using test_util::sample_content;
using test_util::TempDir;
using test_util::write_file;
using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool has_reparse_bit(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

int32_t wait_for(int32_t id, std::chrono::seconds limit = std::chrono::seconds(60)) {
  return test_util::wait_for_job(id, limit);
}

using test_util::WriteHold;

// Whole-file contents through Win32, for names std::filesystem would normalise ("x.").
std::string read_exact(const std::string& path) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot open>";
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  CloseHandle(file);
  return text;
}

bool write_exact(const std::string& path, const std::string& text) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

// Every entry under `root` (reparse points listed, never entered) with the contents of each
// file, for proving that a tree was not touched.
void snapshot(const std::string& root, std::map<std::string, std::string>* out) {
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA((root + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = root + "\\" + name;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      (*out)[path] = "<reparse point>";
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      (*out)[path] = "<directory>";
      snapshot(path, out);
    } else {
      (*out)[path] = read_exact(path);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

std::map<std::string, std::string> snapshot(const std::vector<std::string>& roots) {
  std::map<std::string, std::string> all;
  for (const auto& root : roots) snapshot(root, &all);
  return all;
}

// The entries that differ between two snapshots, by name only (contents would drown the
// message); empty when nothing changed.
std::string changes(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
  std::string text;
  for (const auto& [path, content] : before) {
    const auto it = after.find(path);
    if (it == after.end()) {
      text += " gone: " + path;
    } else if (it->second != content) {
      text += " changed: " + path;
    }
  }
  for (const auto& entry : after) {
    if (before.count(entry.first) == 0) text += " new: " + entry.first;
  }
  return text;
}

// A junction (mount-point reparse point) at `link` leading to the directory `target`. False
// where the system will not make one.
bool make_junction(const std::string& link, const std::string& target) {
  if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
  const HANDLE handle =
      CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // The mount-point layout of REPARSE_DATA_BUFFER, which the mingw-w64 headers do not declare:
  // the substitute name ("\??\" + full path) and the print name, each NUL-terminated.
  char full[MAX_PATH];
  GetFullPathNameA(target.c_str(), sizeof full, full, nullptr);
  const std::wstring print(full, full + std::strlen(full));
  const std::wstring substitute = L"\\??\\" + print;
  std::vector<BYTE> buffer(16 + (substitute.size() + print.size() + 2) * sizeof(WCHAR));
  auto put16 = [&](size_t at, size_t value) {
    const USHORT v = static_cast<USHORT>(value);
    std::memcpy(buffer.data() + at, &v, sizeof v);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof tag);
  put16(4, buffer.size() - 8);                         // ReparseDataLength
  put16(8, 0);                                         // SubstituteNameOffset
  put16(10, substitute.size() * sizeof(WCHAR));        // SubstituteNameLength
  put16(12, (substitute.size() + 1) * sizeof(WCHAR));  // PrintNameOffset
  put16(14, print.size() * sizeof(WCHAR));             // PrintNameLength
  std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(WCHAR));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(WCHAR), print.c_str(),
              (print.size() + 1) * sizeof(WCHAR));
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  if (!ok) RemoveDirectoryA(link.c_str());
  return ok && has_reparse_bit(link);
}

// A symbolic link; true only when one really exists afterwards (Wine 8's CreateSymbolicLinkA
// reports success and creates nothing).
bool make_symlink(const std::string& link, const std::string& target, bool directory) {
  const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                      0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode)
  return CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) && has_reparse_bit(link);
}

TEST(WindowsLinks, JunctionsAndSymbolicLinksInsideATreeAreNeverFollowedNorRemoved) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string outside = dir / "outside";
  const std::string tree = dir / "tree";
  fs::create_directories(outside + "\\deep");
  fs::create_directories(tree + "\\sub");
  write_file(outside + "\\keep.txt", "outside the tree");
  write_file(outside + "\\deep\\keep.txt", "deeper outside the tree");
  write_file(tree + "\\sub\\inside.txt", sample_content(3000));

  std::vector<std::string> links;
  if (make_junction(tree + "\\junction", outside)) links.push_back(tree + "\\junction");
  if (make_symlink(tree + "\\sub\\dirlink", outside, true)) {
    links.push_back(tree + "\\sub\\dirlink");
  }
  if (make_symlink(tree + "\\filelink", outside + "\\keep.txt", false)) {
    links.push_back(tree + "\\filelink");
  }
  if (links.empty()) {
    GTEST_SKIP() << "this system makes neither junctions nor symbolic links (Wine 8 rejects "
                    "FSCTL_SET_REPARSE_POINT and its CreateSymbolicLinkA creates nothing); "
                    "scripts/wine-safety checks Unix links under Wine instead";
  }
  const auto before = snapshot({outside});

  EXPECT_EQ(-1, shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ("", changes(before, snapshot({outside})));
  for (const auto& link : links) {
    EXPECT_TRUE(has_reparse_bit(link)) << link << " was removed";
    EXPECT_EQ(-1, shred_file(link.c_str(), SHRED_METHOD_QUICK)) << link;
    EXPECT_EQ(-1, shred_directory_recursive(link.c_str(), SHRED_METHOD_QUICK)) << link;
  }
  EXPECT_EQ("", changes(before, snapshot({outside})));
  EXPECT_FALSE(exists(tree + "\\sub\\inside.txt")) << "the walk still destroys what is inside";
  EXPECT_TRUE(exists(tree)) << "a directory that still holds a link must stay";
}

TEST(HeldLevels, NoLevelOfTheWalkCanBeRenamedWhileTheWalkIsInsideIt) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string tree = dir / "tree";
  // The directory that holds the tree is held too (without a listing, which under Wine would
  // hold it by itself).
  const std::vector<std::string> levels = {dir.path().string(), tree, tree + "\\a",
                                           tree + "\\a\\b"};
  fs::create_directories(levels.back());
  const std::string data = levels.back() + "\\data.bin";
  write_file(data, sample_content(3 * 65536));

  ASSERT_EQ(0, shred_init());
  {
    WriteHold hold;
    const int32_t id = shred_directory_async(tree.c_str(), SHRED_METHOD_QUICK, 1);
    ASSERT_GT(id, 0) << shred_last_error();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (os_test_writes_waiting() == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(1u, os_test_writes_waiting()) << "the worker never reached its first write";

    // The worker now holds every level down to the file. Renaming any of them is the first step
    // of swapping it for a junction to somewhere else.
    for (const auto& level : levels) {
      const std::string moved = level + "-moved";
      if (MoveFileExA(level.c_str(), moved.c_str(), 0)) {
        ADD_FAILURE() << level << " was renamed while the walk held it";
        MoveFileExA(moved.c_str(), level.c_str(), 0);
      }
    }
    EXPECT_FALSE(MoveFileExA(data.c_str(), (data + "-moved").c_str(), 0));
    EXPECT_FALSE(DeleteFileA(data.c_str()));
    os_test_hold_writes(false);
    EXPECT_EQ(SHRED_JOB_SUCCEEDED, wait_for(id)) << shred_last_error();
  }
  shred_cleanup();
  EXPECT_FALSE(exists(tree));
}

TEST(HardLinks, AFileWithTwoNamesIsRefusedAndKeepsItsContents) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string first = dir / "first.txt";
  const std::string second = dir / "second.txt";
  const auto content = sample_content(5000);
  write_file(first, content);
  ASSERT_TRUE(CreateHardLinkA(second.c_str(), first.c_str(), nullptr)) << GetLastError();

  EXPECT_EQ(-1, shred_file(first.c_str(), SHRED_METHOD_QUICK));
  EXPECT_TRUE(contains(shred_last_error(), "Safety violation")) << shred_last_error();
  EXPECT_EQ(content, read_file(first));
  EXPECT_EQ(content, read_file(second));

  // Inside a tree, the other name may lie outside it: the walk refuses the entry and goes on.
  const std::string tree = dir / "tree";
  fs::create_directory(tree);
  const std::string inner = tree + "\\inner.txt";
  ASSERT_TRUE(CreateHardLinkA(inner.c_str(), first.c_str(), nullptr)) << GetLastError();
  write_file(tree + "\\plain.txt", sample_content(100));
  EXPECT_EQ(-1, shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(content, read_file(first));
  EXPECT_EQ(content, read_file(inner));
  EXPECT_FALSE(exists(tree + "\\plain.txt"));
}

TEST(ExactNames, NamesWindowsWouldTrimAreShreddedUnderTheirOwnName) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string tree = dir / "tree";
  fs::create_directory(tree);
  // Made through "\\?\" paths, the only way to create such names: a plain path would have
  // "x." open the file "x", and "..." the tree itself.
  const std::string exact = "\\\\?\\" + tree;
  ASSERT_TRUE(write_exact(exact + "\\x.", "trailing dot"));
  ASSERT_TRUE(write_exact(tree + "\\x", "x is held open by another program"));
  const bool dots = CreateDirectoryA((exact + "\\...").c_str(), nullptr) &&
                    write_exact(exact + "\\...\\inner.txt", "inside the dots");
  {
    uint32_t error = 0;
    os_file holder(os_open_exclusive((tree + "\\x").c_str(), &error));
    ASSERT_TRUE(holder.valid()) << error;
    EXPECT_EQ(-1, shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK));
  }
  EXPECT_FALSE(exists(exact + "\\x.")) << "the file named \"x.\" was not the one shredded";
  EXPECT_EQ("x is held open by another program", read_exact(tree + "\\x"));
  if (dots) {
    EXPECT_FALSE(exists(exact + "\\...")) << "the directory named \"...\" was not walked";
  }
}

TEST(SpecialPaths, AWalkRootedAtATwoBackslashPathShredsNoFileButRemovesEmptyDirectories) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string tree = fs::absolute(dir.path()).string() + "\\tree";
  fs::create_directories(tree + "\\sub");
  fs::create_directories(tree + "\\empty");
  write_file(tree + "\\top.txt", "top secret");
  write_file(tree + "\\sub\\low.txt", "low secret");
  // shred_file refuses every such path; a walk rooted at one must refuse each file it forms.
  const std::string exact = "\\\\?\\" + tree;
  const std::string special =
      "Safety violation: refusing to shred root, working directory, or special path: " + exact;
  EXPECT_EQ(-1, shred_file((exact + "\\top.txt").c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(special + "\\top.txt", shred_last_error());

  EXPECT_EQ(-1, shred_directory(exact.c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(special + "\\top.txt", shred_last_error());
  EXPECT_TRUE(exists(tree + "\\empty")) << "the flat walk leaves subdirectories alone";

  ASSERT_EQ(0, shred_init());
  const int32_t id = shred_directory_async(exact.c_str(), SHRED_METHOD_QUICK, 1);
  ASSERT_GT(id, 0) << shred_last_error();
  EXPECT_EQ(SHRED_JOB_FAILED, wait_for(id));
  shred_cleanup();
  EXPECT_EQ(0u, std::string(shred_last_error()).rfind(special + "\\", 0)) << shred_last_error();

  EXPECT_EQ("top secret", read_exact(tree + "\\top.txt"));
  EXPECT_EQ("low secret", read_exact(tree + "\\sub\\low.txt"));
  EXPECT_FALSE(exists(tree + "\\empty")) << "an empty subdirectory still goes";
  EXPECT_TRUE(exists(tree + "\\sub"));
}

TEST(WorkingDirectory, RefusedUnderEverySpellingOfIt) {
  // Only the test's own directory is named here: drive and root spellings are the WineSafety
  // suite's, inside its private prefix.
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string work = dir / "work";
  fs::create_directories(work + "\\sub");
  write_file(work + "\\keep.txt", "keep");
  write_file(work + "\\sub\\keep.txt", "keep too");
  std::string forward = work;
  for (auto& c : forward) {
    if (c == '\\') c = '/';
  }
  const auto saved = fs::current_path();
  fs::current_path(work);
  const auto before = snapshot({work});
  for (const std::string& path :
       {work, work + "\\", forward + "/", "\\\\?\\" + work, std::string("..\\work"),
        std::string("..\\WORK\\"), std::string(".\\"), std::string("sub\\.."), std::string("./")}) {
    EXPECT_EQ(-1, shred_directory_recursive(path.c_str(), SHRED_METHOD_QUICK)) << path;
    EXPECT_TRUE(contains(shred_last_error(), "Safety violation"))
        << path << ": " << shred_last_error();
    EXPECT_EQ(-1, shred_directory(path.c_str(), SHRED_METHOD_QUICK)) << path;
    EXPECT_EQ("", changes(before, snapshot({work}))) << path;
  }
  fs::current_path(saved);
}

TEST(WindowsPaths, SplitKeepsDrivesRootsAndTheDrivesWorkingDirectory) {
  struct Case {
    const char* path;
    const char* parent;
    const char* name;
    bool trailing;
  };
  const Case cases[] = {
      {"K:", "K:", "", false},
      {"K:\\", "K:\\", "", false},
      {"\\", "\\", "", false},
      {"K:/", "K:/", "", false},
      {"K:foo", "K:", "foo", false},
      {"\\foo", "\\", "foo", false},
      {"a\\b\\", "a", "b", true},
      {"a/b//", "a", "b", true},
      {"name", ".", "name", false},
      {"K:\\a\\\\b", "K:\\a", "b", false},
      {"K:\\.", "K:\\", ".", false},
      {"C:\\windows\\..", "C:\\windows", "..", false},
      {".\\", ".", ".", true},
      {"\\\\server\\share\\x", "\\\\server\\share", "x", false},
      {"\\\\foo", "\\\\", "foo", false},
      {"\\\\?\\K:\\", "\\\\?\\K:\\", "", false},
      {"\\\\?\\K:\\work", "\\\\?\\K:\\", "work", false},
  };
  for (const auto& c : cases) {
    char parent[OS_PATH_MAX];
    char name[OS_NAME_MAX];
    bool trailing = !c.trailing;
    ASSERT_TRUE(os_split_path(c.path, parent, sizeof parent, name, sizeof name, &trailing))
        << c.path;
    EXPECT_STREQ(c.parent, parent) << c.path;
    EXPECT_STREQ(c.name, name) << c.path;
    EXPECT_EQ(c.trailing, trailing) << c.path;
  }
}

// ---- Inside the private prefix of scripts/wine-safety only ------------------------------------

constexpr DWORD kDriveC = 1u << ('C' - 'A');
constexpr DWORD kDriveK = 1u << ('K' - 'A');

// True when this process runs inside the prefix scripts/wine-safety built. A run the script
// started in any other set-up fails rather than skips, so that a broken set-up is never taken for
// a pass.
bool in_private_prefix() {
  const char* flag = std::getenv("KELVARIN_WINE_SAFETY");
  if (flag == nullptr || std::strcmp(flag, "1") != 0) return false;
  EXPECT_EQ(kDriveC | kDriveK, GetLogicalDrives()) << "drives other than C: and K: are mapped";
  EXPECT_TRUE(exists("K:\\kelvarin-wine-safety.marker")) << "K: is not the canary tree";
  return GetLogicalDrives() == (kDriveC | kDriveK) && exists("K:\\kelvarin-wine-safety.marker");
}

#define REQUIRE_PRIVATE_PREFIX()                                                                  \
  do {                                                                                            \
    if (std::getenv("KELVARIN_WINE_SAFETY") == nullptr) {                                         \
      GTEST_SKIP() << "runs only inside the private Wine prefix that scripts/wine-safety builds"; \
    }                                                                                             \
    ASSERT_TRUE(in_private_prefix());                                                             \
  } while (0)

// The canary trees: all of K: but the links tree (whose plain files are meant to go) and the
// canary directory on C:.
std::map<std::string, std::string> canaries() {
  auto all = snapshot({"K:", "C:\\kelvarin-canary"});
  for (auto it = all.begin(); it != all.end();) {
    it = it->first.rfind("K:\\links", 0) == 0 ? all.erase(it) : std::next(it);
  }
  return all;
}

TEST(WineSafety, RootAndWorkingDirectorySpellingsAreRefusedByEveryEntryPoint) {
  REQUIRE_PRIVATE_PREFIX();
  ASSERT_TRUE(SetCurrentDirectoryA("K:\\work"));
  const auto before = canaries();
  ASSERT_GT(before.size(), 8u);

  // Each is refused by what it names (a volume root, the working directory) or by its last
  // component, with a "Safety violation" message.
  const std::vector<std::string> spellings = {"K:\\",
                                              "K:",
                                              "K:/",
                                              "K:\\.",
                                              "K:\\sub\\..",
                                              ".\\",
                                              "sub\\..",
                                              "..\\work",
                                              "k:/WORK/",
                                              "C:\\",
                                              "C:\\windows\\..",
                                              "K:\\work",
                                              "K:\\work\\",
                                              "\\work",
                                              "\\",
                                              "/",
                                              ".",
                                              "..",
                                              "K:.",
                                              "K:..\\work",
                                              "C:",
                                              "c:/",
                                              "\\\\?\\K:\\",
                                              "\\\\?\\K:\\work",
                                              "\\\\.\\K:\\",
                                              "\\\\?\\K:\\sub\\.."};
  // The canary tree's root and the working directory by their Unix names, which Wine accepts
  // too: refused one way or another, whatever the message. Never the Unix root itself, which
  // would be this machine's "/".
  std::vector<std::string> others;
  if (const char* unix_root = std::getenv("KELVARIN_WINE_SAFETY_K")) {
    std::string native = std::string("\\\\?\\unix") + unix_root;
    for (auto& c : native) {
      if (c == '/') c = '\\';
    }
    others.push_back(native);
    others.push_back(native + "\\work");
  }

  ASSERT_EQ(0, shred_init());
  const auto refused = [&](const std::string& path, bool message) {
    EXPECT_EQ(-1, shred_directory_recursive(path.c_str(), SHRED_METHOD_QUICK)) << path;
    if (message) {
      EXPECT_TRUE(contains(shred_last_error(), "Safety violation"))
          << path << ": " << shred_last_error();
    }
    ASSERT_EQ("", changes(before, canaries())) << "after shred_directory_recursive(" << path << ")";

    EXPECT_EQ(-1, shred_directory(path.c_str(), SHRED_METHOD_QUICK)) << path;
    if (message) {
      EXPECT_TRUE(contains(shred_last_error(), "Safety violation"))
          << path << ": " << shred_last_error();
    }
    ASSERT_EQ("", changes(before, canaries())) << "after shred_directory(" << path << ")";

    const int32_t id = shred_directory_async(path.c_str(), SHRED_METHOD_QUICK, 1);
    if (id > 0) {
      EXPECT_EQ(SHRED_JOB_FAILED, wait_for(id)) << path;
    }
    ASSERT_EQ("", changes(before, canaries())) << "after shred_directory_async(" << path << ")";

    EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << path;
    ASSERT_EQ("", changes(before, canaries())) << "after shred_file(" << path << ")";
  };
  for (const auto& path : spellings) refused(path, true);
  for (const auto& path : others) refused(path, false);
  shred_cleanup();
}

TEST(WineSafety, UnixLinksInsideATreeAreNeverFollowed) {
  REQUIRE_PRIVATE_PREFIX();
  // Laid out by the script: K:\links\tree holds a plain file, "dirlink" (a Unix link to a
  // directory outside every drive) and "sub\filelink" (a Unix link to a file there); Wine shows
  // the first as a reparse point and the second as a plain file, and follows both when opened.
  // "sub\\samedrive", "up" and "sub\\keep-3.txt" are Unix links to canary files on K: itself.
  const std::string tree = "K:\\links\\tree";
  ASSERT_TRUE(exists(tree + "\\plain.txt"));
  ASSERT_TRUE(has_reparse_bit(tree + "\\dirlink"));
  const std::string outside = read_exact(tree + "\\sub\\filelink");
  ASSERT_EQ("outside every drive\n", outside);
  const std::vector<std::string> same_drive = {tree + "\\sub\\samedrive", tree + "\\up",
                                               tree + "\\sub\\keep-3.txt"};
  std::vector<std::string> targets;
  for (const auto& link : same_drive) targets.push_back(read_exact(link));
  ASSERT_EQ(read_exact("K:\\other\\deep\\keep-4.txt"), targets[0]);
  ASSERT_EQ(read_exact("K:\\sub\\keep-3.txt"), targets[1]);
  const auto before = canaries();

  for (const auto& link : same_drive) {
    EXPECT_EQ(-1, shred_file(link.c_str(), SHRED_METHOD_QUICK)) << link;
    EXPECT_TRUE(contains(shred_last_error(), "reparse point")) << link << ": " << shred_last_error();
  }
  ASSERT_EQ("", changes(before, canaries()));
  EXPECT_EQ(-1, shred_file((tree + "\\sub\\filelink").c_str(), SHRED_METHOD_QUICK));
  EXPECT_EQ(-1, shred_directory_recursive((tree + "\\dirlink").c_str(), SHRED_METHOD_QUICK));
  EXPECT_TRUE(contains(shred_last_error(), "reparse point")) << shred_last_error();
  EXPECT_EQ(-1, shred_directory_recursive(tree.c_str(), SHRED_METHOD_QUICK));
  EXPECT_FALSE(exists(tree + "\\plain.txt")) << "the walk still destroys what is inside";
  EXPECT_TRUE(has_reparse_bit(tree + "\\dirlink"));
  EXPECT_EQ(outside, read_exact(tree + "\\sub\\filelink"));
  EXPECT_EQ("outside every drive\n", read_exact(tree + "\\dirlink\\canary.txt"));
  for (size_t i = 0; i < same_drive.size(); ++i) {
    EXPECT_EQ(targets[i], read_exact(same_drive[i])) << same_drive[i];
  }
  EXPECT_EQ("", changes(before, canaries()));
}

}  // namespace
