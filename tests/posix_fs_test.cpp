// The file engine against what a real POSIX system puts in its way: links and special nodes that
// must be refused untouched, a lock held by another opener, a full and a read-only file system,
// and cancellation mid-run. One forensic check reads a loop-mounted ext4 image after the run to
// prove the contents are gone from the device, not just from the name. Mount tests need root and
// skip themselves otherwise; every mount is undone by RAII even when an assertion fails.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "kelvarin_shred.h"
#include "posix_test_util.h"
#include "shred_core.h"
#include "shred_report.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

using posix_test::Mount;
using posix_test::Names;
using posix_test::ReadFile;
using posix_test::Token;
using test_util::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Content that no overwrite pattern can produce by chance: a byte counter that skips 0x00 and 0xFF.
std::string Content(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + i % 254);
  return bytes;
}

const std::string kSpecial =
    "Safety violation: refusing to shred root, working directory, or special path: ";
const std::string kReparse = "Safety violation: refusing to shred reparse point/symlink directly: ";
const std::string kCancelled = "Shredding operation cancelled by user";

// ---- Links and special nodes -------------------------------------------------------------------

TEST(PosixLinks, LinksAreRefusedAndNeitherLinkNorTargetChanges) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string contents = Content(100000);
  WriteFile(dir / "target.txt", contents);
  ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
  WriteFile(dir / "sub/inner.txt", contents);
  const struct {
    const char* link;
    const char* points_to;
  } links[] = {{"to-file", "target.txt"},
               {"to-file-abs", nullptr},  // absolute link, filled in below
               {"to-dir", "sub"},
               {"dangling", "does-not-exist"}};
  const std::string absolute = dir / "target.txt";
  for (const auto& l : links) {
    ASSERT_EQ(0, symlink(l.points_to ? l.points_to : absolute.c_str(), (dir / l.link).c_str()));
  }
  const auto before = Names(dir.path());

  for (const auto& l : links) {
    SCOPED_TRACE(l.link);
    const std::string path = dir / l.link;
    const std::string points_to = l.points_to ? l.points_to : absolute;
    EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS));
    EXPECT_EQ(kReparse + path, shred_last_error());
    struct stat st {};
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(points_to, target);
  }
  EXPECT_EQ(contents, ReadFile(dir / "target.txt"));
  EXPECT_EQ(contents, ReadFile(dir / "sub/inner.txt"));
  EXPECT_EQ(before, Names(dir.path()));
}

// Runs shred_file on a worker so that a FIFO opened in blocking mode cannot hang the suite: past
// the deadline both ends are opened from here, which releases any blocked open.
int32_t ShredWithDeadline(const std::string& path, std::string* message, bool* hung) {
  std::atomic<bool> done{false};
  int32_t rc = 0;
  std::thread worker([&] {
    rc = shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS);
    *message = shred_last_error();
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *hung = !done;
  if (*hung) {
    const int r = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    const int w = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    worker.join();
    if (w >= 0) close(w);
    if (r >= 0) close(r);
  } else {
    worker.join();
  }
  return rc;
}

TEST(PosixSpecial, FifoAndSocketAreRefusedPromptlyAndKept) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string sock_path = dir / "sock";
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));

  for (const auto& [path, is_type] :
       {std::pair{fifo, +[](mode_t m) { return S_ISFIFO(m); }},
        std::pair{sock_path, +[](mode_t m) { return S_ISSOCK(m); }}}) {
    SCOPED_TRACE(path);
    std::string message;
    bool hung = false;
    EXPECT_EQ(-1, ShredWithDeadline(path, &message, &hung));
    EXPECT_FALSE(hung) << "shred_file blocked on the node";
    EXPECT_EQ(kSpecial + path, message);
    struct stat st {};
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(is_type(st.st_mode));
  }
  close(sock);
}

TEST(PosixSpecial, DeviceNodesAreRefusedAndKept) {
  struct stat st {};
  EXPECT_EQ(-1, shred_file("/dev/null", SHRED_METHOD_QUICK));
  EXPECT_EQ(kSpecial + "/dev/null", shred_last_error());
  ASSERT_EQ(0, lstat("/dev/null", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string node = dir / "null-copy";
  if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot create a device node here: " << std::strerror(errno);
  }
  EXPECT_EQ(-1, shred_file(node.c_str(), SHRED_METHOD_DOD_3PASS));
  EXPECT_EQ(kSpecial + node, shred_last_error());
  ASSERT_EQ(0, lstat(node.c_str(), &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(makedev(1, 3), st.st_rdev);
}

// ---- Another opener ----------------------------------------------------------------------------

TEST(PosixLock, FileLockedByAnotherOpenerIsNotTouched) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir / "held.bin";
  const std::string contents = Content(200000);
  for (int kind : {LOCK_EX, LOCK_SH}) {
    SCOPED_TRACE(kind == LOCK_EX ? "exclusive" : "shared");
    WriteFile(path, contents);
    const int holder = open(path.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, kind));
    EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS));
    EXPECT_EQ(
        "Failed to open file for writing: " + path + " (error " + std::to_string(EWOULDBLOCK) + ")",
        shred_last_error());
    EXPECT_EQ(contents, ReadFile(path));
    close(holder);
    // Once the lock is gone the same call goes through, so the lock was what stopped it.
    EXPECT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
    EXPECT_TRUE(Names(dir.path()).empty());
  }
}

// ---- Real mounts -------------------------------------------------------------------------------

class PosixMounts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    ASSERT_TRUE(dir_.ok());
  }
  TempDir dir_;
};

// ---- A write the kernel refuses --------------------------------------------------------------

// A file-size limit makes the kernel refuse writes past it, even over bytes the file already has:
// a real mid-pass write failure. The limit is per process, so the shred runs in a forked child.
TEST(PosixWriteFailure, RefusedWriteFailsThePassAndKeepsTheFileAtFullLength) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir / "limited.bin";
  const std::string contents = Content(300000);
  WriteFile(path, contents);
  int report[2];
  ASSERT_EQ(0, pipe(report));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int32_t rc = shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS);
    const std::string message = std::to_string(rc) + " " + shred_last_error();
    (void)!write(report[1], message.data(), message.size());
    _exit(0);
  }
  close(report[1]);
  std::string message;
  char chunk[512];
  ssize_t n;
  while ((n = read(report[0], chunk, sizeof chunk)) > 0) message.append(chunk, n);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ("-1 Write failed on pass 1: " + path + " (error " + std::to_string(EFBIG) + ")",
            message);
  // The first pass got as far as the limit: zeros up to it, the original bytes after it.
  const std::string after = ReadFile(path);
  ASSERT_EQ(contents.size(), after.size());
  EXPECT_EQ(std::string(100000, '\0'), after.substr(0, 100000));
  EXPECT_EQ(contents.substr(100000), after.substr(100000));
  EXPECT_EQ(std::set<std::string>{"limited.bin"}, Names(dir.path()));
}

TEST_F(PosixMounts, ReadOnlyBindMountRefusesOpenAndKeepsBytes) {
  const std::string src = dir_ / "src";
  const std::string ro = dir_ / "ro";
  ASSERT_EQ(0, mkdir(src.c_str(), 0755));
  ASSERT_EQ(0, mkdir(ro.c_str(), 0755));
  const std::string contents = Content(150000);
  WriteFile(src + "/keep.bin", contents);

  Mount mount_guard(ro);
  if (mount(src.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
  }
  mount_guard.adopt();
  if (mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    GTEST_SKIP() << "cannot remount read-only: " << std::strerror(errno);
  }

  const std::string path = ro + "/keep.bin";
  EXPECT_EQ(-1, shred_file(path.c_str(), SHRED_METHOD_DOD_3PASS));
  EXPECT_EQ("Failed to open file for writing: " + path + " (error " + std::to_string(EROFS) + ")",
            shred_last_error());
  EXPECT_EQ(contents, ReadFile(path));
  EXPECT_EQ(contents, ReadFile(src + "/keep.bin"));
  EXPECT_EQ(std::set<std::string>{"keep.bin"}, Names(src));
  EXPECT_TRUE(mount_guard.unmount());
}

// ---- Forensic ----------------------------------------------------------------------------------

using PosixForensic = PosixMounts;

void WriteSynced(const std::string& path, const std::string& token) {
  std::string bytes;
  while (bytes.size() < 200 * 1024) bytes += token + "\n";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  ASSERT_EQ(0, fsync(fd));
  close(fd);
}

TEST_F(PosixForensic, ShreddedContentsAreGoneFromTheDevice) {
  const std::string image = dir_ / "disk.img";
  const std::string mnt = dir_ / "mnt";
  ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
  Mount mount_guard(mnt);
  const std::string why_not = posix_test::MountExt4Image(image, 32, mnt, &mount_guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;

  const std::string quick = Token(), dod = Token(), plain = Token();
  const std::string quick_path = mnt + "/secret-" + quick + ".txt";
  const std::string dod_path = mnt + "/secret-" + dod + ".txt";
  const std::string plain_path = mnt + "/plain-" + plain + ".txt";
  WriteSynced(quick_path, quick);
  WriteSynced(dod_path, dod);
  WriteSynced(plain_path, plain);
  const int dfd = open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dfd, 0);
  fsync(dfd);

  EXPECT_EQ(0, shred_file(quick_path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
  EXPECT_EQ(0, shred_file(dod_path.c_str(), SHRED_METHOD_DOD_3PASS)) << shred_last_error();
  ASSERT_EQ(0, unlink(plain_path.c_str()));
  fsync(dfd);
  close(dfd);
  EXPECT_EQ(std::set<std::string>{"lost+found"}, Names(mnt));
  ASSERT_TRUE(mount_guard.unmount()) << "image still mounted: " << std::strerror(errno);

  // The old names may survive in freed directory slots, which is ext4's doing, so only the
  // contents are judged. The plain unlink shows that the search can find a deleted file.
  const std::string raw = ReadFile(image);
  ASSERT_EQ(size_t{32} << 20, raw.size());
  EXPECT_NE(std::string::npos, raw.find(plain + "\n" + plain)) << "search cannot see deleted data";
  EXPECT_EQ(std::string::npos, raw.find(quick + "\n")) << "quick method left contents on disk";
  EXPECT_EQ(std::string::npos, raw.find(dod + "\n")) << "3-pass method left contents on disk";
}

// ---- Cancellation ------------------------------------------------------------------------------

std::atomic<int32_t> g_cancel{0};
std::atomic<int> g_chunks{0};
int g_cancel_after = 0;
int64_t g_last_done = 0;
int32_t g_seen_job = 0;

void CancelAfterChunks(int32_t job_id, int32_t, int64_t bytes_done, int64_t) {
  g_seen_job = job_id;
  g_last_done = bytes_done;
  if (++g_chunks == g_cancel_after) g_cancel = 1;
}

TEST(PosixCancel, FlagSetBeforeTheCallLeavesTheFileUntouched) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir / "data.bin";
  const std::string contents = Content(300000);
  WriteFile(path, contents);
  const std::atomic<int32_t> flag{1};
  const shred_job_ctx ctx{&flag, 5, 0, nullptr};
  EXPECT_EQ(-1, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
  EXPECT_EQ(kCancelled, shred_last_error());
  EXPECT_EQ(contents, ReadFile(path));
  EXPECT_EQ(std::set<std::string>{"data.bin"}, Names(dir.path()));
}

// Method 1 writes 0x00 then 0xFF. A cancel after the third chunk of pass 1 leaves three zero
// chunks; one after the third chunk of pass 2 leaves three 0xFF chunks over a zeroed rest,
// which also shows each pass starts again at offset 0.
TEST(PosixCancel, CancelDuringAPassStopsAtTheNextChunk) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  constexpr size_t kChunk = SHRED_BUFFER_SIZE;
  constexpr size_t kSize = 16 * kChunk;
  const std::string contents = Content(kSize);
  const struct {
    int cancel_after;
    char head, tail;  // expected bytes before and after the cancel point; 0 in tail: original
    bool tail_original;
  } cases[] = {{3, '\x00', 0, true}, {16 + 3, '\xFF', '\x00', false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cancel_after);
    const std::string path = dir / "data.bin";
    WriteFile(path, contents);
    g_cancel = 0;
    g_chunks = 0;
    g_cancel_after = c.cancel_after;
    const shred_job_ctx ctx{&g_cancel, 42, 0, &CancelAfterChunks};
    EXPECT_EQ(-1, shred_file_internal(path.c_str(), SHRED_METHOD_DOD_3PASS, 3, &ctx));
    EXPECT_EQ(kCancelled, shred_last_error());
    EXPECT_EQ(c.cancel_after, g_chunks.load()) << "chunks written after the cancel";
    EXPECT_EQ(static_cast<int64_t>(c.cancel_after * kChunk), g_last_done);
    EXPECT_EQ(42, g_seen_job);

    const std::string after = ReadFile(path);
    ASSERT_EQ(kSize, after.size());
    const size_t cut = 3 * kChunk;
    EXPECT_EQ(std::string(cut, c.head), after.substr(0, cut));
    EXPECT_EQ(c.tail_original ? contents.substr(cut) : std::string(kSize - cut, c.tail),
              after.substr(cut));
    EXPECT_EQ(std::set<std::string>{"data.bin"}, Names(dir.path()));
  }
}

}  // namespace
