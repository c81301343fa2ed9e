// The kelvarin-shred command end to end, through the built binary: exit codes, what is left on
// disk, the text and JSON it prints, Ctrl-C, and the progress bar on a real pseudo-terminal.
// Big files live on a disk-backed directory, since on tmpfs a job could end before the signal;
// JSON goes through a strict parser, so a malformed line cannot pass as a substring match.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json_test_util.h"
#include "posix_test_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using json_test::Json;
using json_test::JsonParser;
constexpr int64_t kMiB = 1024 * 1024;
constexpr auto kNever = std::string::npos;

struct Result {
  int code = -1;  // the exit status, or minus the signal that ended the process
  std::string out, err;
};
struct Child {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // stdout, stderr; or the pty master alone
};

// argv is built before fork, so the child does nothing but exec.
struct Argv {
  // `runner` goes before the command, to run it as another user.
  explicit Argv(Strings args, Strings runner = {}) : args_(std::move(args)) {
    args_.insert(args_.begin(), KELVARIN_SHRED_CLI);
    args_.insert(args_.begin(), runner.begin(), runner.end());
    for (std::string& a : args_) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);
  }
  Strings args_;
  std::vector<char*> ptrs;
};

Child start(Strings args, Strings runner = {}) {
  Argv argv(std::move(args), std::move(runner));
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv.ptrs[0], argv.ptrs.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, {out[0], err[0]}};
}

// Reads every stream to its end (EOF, or EIO on a pty master), then reaps the child. A command
// still running after a minute is killed, so a hang fails the test instead of blocking.
Result finish(Child child, int streams = 2) {
  Result r;
  if (child.pid <= 0) return ADD_FAILURE() << "the command could not be started", r;
  std::string* sinks[2] = {&r.out, &r.err};
  pollfd fds[2] = {{child.fds[0], POLLIN, 0}, {streams == 2 ? child.fds[1] : -1, POLLIN, 0}};
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (int open = streams; open > 0;) {
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "the command did not finish within 60 s";
      kill(child.pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      char buffer[4096];
      const ssize_t n =
          fds[i].fd >= 0 && fds[i].revents ? read(fds[i].fd, buffer, sizeof buffer) : -2;
      if (n > 0) sinks[i]->append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n == -1 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return r;
}

Result run(Strings args, Strings runner = {}) {
  return finish(start(std::move(args), std::move(runner)));
}

Strings lines_of(const std::string& text) {
  std::istringstream in(text);
  Strings lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<Json> json_lines(const std::string& out) {
  std::vector<Json> objects;
  for (const std::string& line : lines_of(out)) {
    JsonParser parser{line};
    Json object;
    const bool valid = parser.eat('{') && parser.object(object) && (parser.space(), true) &&
                       parser.i == line.size();
    EXPECT_TRUE(valid) << "not a JSON object: " << line;
    objects.push_back(valid ? object : Json{});
  }
  return objects;
}

void expect_succeeded(const Json& line, const std::string& path, long long size, long long passes) {
  EXPECT_EQ(line["path"].text, path);
  EXPECT_EQ(line["result"].text, "succeeded");
  EXPECT_EQ(line["error"].kind, Json::kNull) << path;
  EXPECT_TRUE(line.members.count("error")) << path;
  const Json& stats = line["stats"];
  for (const char* key :
       {"files_shredded", "bytes_overwritten", "passes_completed", "duration_ms"}) {
    ASSERT_TRUE(stats[key].integral()) << key << " of " << path;
  }
  EXPECT_EQ(stats["files_shredded"].text, "1");
  EXPECT_EQ(std::stoll(stats["passes_completed"].text), passes);
  EXPECT_EQ(std::stoll(stats["bytes_overwritten"].text), passes * size);
}

std::string read_file(const std::string& path, size_t limit = 0) {  // 0: the whole file
  std::ifstream in(path, std::ios::binary);
  if (limit == 0) return std::string(std::istreambuf_iterator<char>(in), {});
  std::string data(limit, '\0');
  data.resize(
      static_cast<size_t>(in.read(data.data(), static_cast<std::streamsize>(limit)).gcount()));
  return data;
}
void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}
// Real blocks of text, not a sparse file: the job has to overwrite every one of them.
void write_big(const std::string& path, int64_t size) {
  std::string chunk;
  while (chunk.size() < static_cast<size_t>(kMiB)) chunk += "the quick brown fox 0123456789\n";
  std::ofstream out(path, std::ios::binary);
  for (int64_t done = 0; done < size; done += kMiB) out.write(chunk.data(), kMiB);
}

// Signals once the command has begun overwriting `watched` (bounded wait): its Ctrl-C handler
// is in place by then, and the signal lands in the middle of the work.
Result interrupt(Strings args, const std::string& watched) {
  const std::string head = read_file(watched, 4096);
  const Child child = start(std::move(args));
  if (child.pid <= 0) return finish(child);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (read_file(watched, head.size()) == head && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(read_file(watched, head.size()), head) << "the command never started writing";
  kill(child.pid, SIGINT);
  return finish(child);
}

class Cli : public ::testing::Test {
 protected:
  // Under root, the runner that makes the command an ordinary user, who is given `owned`;
  // otherwise the command runs as the test does.
  Strings as_nobody(const Strings& owned) {
    if (geteuid() != 0) return {};
    for (const std::string& p : owned) EXPECT_EQ(chown(p.c_str(), 65534, 65534), 0) << p;
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }

  void SetUp() override {
    struct statfs info {};
    const bool tmpfs = statfs("/tmp", &info) == 0 && info.f_type == TMPFS_MAGIC;
    std::string dir = std::string(tmpfs ? "/var/tmp" : "/tmp") + "/cli_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(Cli, UsageErrorsExitTwoAndShredNothing) {
  const std::string file = path("keep.txt");
  const std::pair<Strings, std::string> cases[] = {
      {{}, "missing PATH"},
      {{"--bogus", file}, "unknown option '--bogus'"},
      {{"-xq", file}, "unknown option '-x"},  // names the bad letter, not another argument
      {{"-m", "foo", file}, "unknown method 'foo'"},
      {{"-n", "0", file}, "invalid number of passes '0'"},
      {{"-n", "101", file}, "invalid number of passes '101'"},
      {{"-n", "abc", file}, "invalid number of passes 'abc'"},
      {{"-m", "quick", "-n", "5", file}, "cannot be combined with another -m"},
      {{"-m", "custom", file}, "-m custom needs -n N"},
      {{"-n", "5", "-m", "custom", "-m", "dod7", file}, "cannot be combined with another -m"},
      {{"-m", "custom", "-n", "5", "-d", file}, "-n applies to files only"},
      {{"-n", "5", "-r", file}, "-n applies to files only"},
      {{"-r", "-d", file}, "-r and -d exclude each other"},
      {{"--verify", "-r", file}, "--verify takes no shredding options"}};
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args.empty() ? "(no arguments)" : args[0] + " ... (" + message + ")");
    write_file(file, "precious\n");
    const Result r = run(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kelvarin-shred: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(message), kNever) << r.err;
    EXPECT_EQ(read_file(file), "precious\n");
  }
}

TEST_F(Cli, HelpVersionAndMethodList) {
  const Result help = run({"--help"}), version = run({"--version"}), list = run({"--list-methods"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: kelvarin-shred", 0), 0u) << help.out;
  EXPECT_EQ(version.code, 0);
  EXPECT_TRUE(
      std::regex_match(version.out, std::regex("kelvarin-shred [0-9]+\\.[0-9]+\\.[0-9]+\n")));
  EXPECT_EQ(list.code, 0);
  const Strings lines = lines_of(list.out);
  const char* const patterns[] = {"quick +.+ 1 pass", "dod3 +.+ 3 passes", "dod7 +.+ 7 passes",
                                  "gutmann +.+ 35 passes", "custom +.+ 1 to 100 passes.*"};
  ASSERT_EQ(lines.size(), std::size(patterns)) << list.out;
  const std::string file = path("listed");
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i];
    // Every name the list gives is one that -m takes (custom with its count).
    const std::string name = lines[i].substr(0, lines[i].find(' '));
    Strings args = {"-m", name, file};
    if (name == "custom") args.insert(args.begin(), {"-n", "2"});
    write_file(file, "listed\n");
    const Result r = run(args);
    EXPECT_EQ(r.code, 0) << name << ": " << r.err;
    EXPECT_FALSE(fs::exists(file)) << name;
  }
}

TEST_F(Cli, DirectoriesNeedRecursiveOrFlat) {
  const std::string tree = path("tree"), top = path("tree/top"), inner = path("tree/sub/inner");
  fs::create_directories(path("tree/sub"));
  write_file(top, "top");
  write_file(inner, "inner");
  const Result refused = run({tree});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "kelvarin-shred: " + tree + ": is a directory (use -r or -d)\n");
  EXPECT_EQ(read_file(top) + read_file(inner), "topinner");

  EXPECT_EQ(run({"-d", tree}).code, 0);
  EXPECT_FALSE(fs::exists(top));
  EXPECT_EQ(read_file(inner), "inner");
  write_file(top, "top");
  EXPECT_EQ(run({"-r", tree}).code, 0);
  EXPECT_FALSE(fs::exists(tree));
}

TEST_F(Cli, OneFailedPathFailsTheRunWithoutStoppingIt) {
  const std::string file = path("a"), missing = path("missing");
  write_file(file, "data");
  const Result r = run({missing, file});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kelvarin-shred: " + missing + ": file not found\n");
}

// Names kept by a directory its user may not change: the library overwrites what is inside and
// reports success, the names stay, and the command says so and fails, as `shred -u` does.
TEST_F(Cli, NamesKeptByTheirDirectoryFailTheRun) {
  // Root may change any directory, so the command runs as an ordinary user who owns the contents.
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "setpriv (util-linux) is missing";
  }
  const std::string locked = path("locked"), file = path("locked/secret");
  const std::string tree = path("locked/tree"), inner = path("locked/tree/inner");
  fs::create_directories(tree);
  write_file(file, "secret text\n");
  write_file(inner, "inner text\n");
  const Strings runner = as_nobody({file, tree, inner});
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec);
  const Result r = run({file}, runner), recursive = run({"-r", tree}, runner);
  fs::permissions(locked, fs::perms::owner_all);
  const std::string denied = std::strerror(EACCES);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.err, "kelvarin-shred: " + file + ": overwritten but not removed: " + denied + "\n");
  EXPECT_EQ(read_file(file), "");  // overwritten, then truncated
  EXPECT_EQ(recursive.code, 1) << recursive.err;
  EXPECT_EQ(recursive.err,
            "kelvarin-shred: " + tree +
                ": its files were shredded, but the directory was not removed: " + denied + "\n");
  EXPECT_FALSE(fs::exists(inner));
}

// The same case in --json and -v: the line's verdict is the exit status's, not the library's
// success, and -v does not call the kept name shredded.
TEST_F(Cli, JsonAndVerboseCallANameKeptByItsDirectoryAFailure) {
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "setpriv (util-linux) is missing";
  }
  const std::string locked = path("locked"), file = path("locked/secret");
  const std::string other = path("locked/other"), tree = path("locked/tree");
  fs::create_directories(tree);
  write_file(file, std::string(1000, 's'));
  write_file(other, "other\n");
  write_file(path("locked/tree/inner"), "inner\n");
  const Strings runner = as_nobody({file, other, tree, path("locked/tree/inner")});
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec);
  const Result json = run({"--json", file, "-r", tree}, runner),
               verbose = run({"-v", other}, runner);
  fs::permissions(locked, fs::perms::owner_all);
  const std::string denied = std::strerror(EACCES);
  EXPECT_EQ(json.code, 1) << json.err;
  const std::vector<Json> lines = json_lines(json.out);
  ASSERT_EQ(lines.size(), 2u) << json.out;
  EXPECT_EQ(lines[0]["path"].text, file);
  EXPECT_EQ(lines[0]["result"].text, "failed") << json.out;
  EXPECT_EQ(lines[0]["error"].text, "overwritten but not removed: " + denied);
  // The contents are gone all the same, and the statistics say how they went.
  EXPECT_EQ(lines[0]["stats"]["bytes_overwritten"].text, "3000") << json.out;
  EXPECT_FALSE(lines[0].members.count("directory"));
  EXPECT_EQ(read_file(file), "");
  EXPECT_EQ(lines[1]["result"].text, "failed") << json.out;
  EXPECT_EQ(lines[1]["error"].text,
            "its files were shredded, but the directory was not removed: " + denied);
  EXPECT_EQ(lines[1]["directory"].text, "kept");
  EXPECT_EQ(json.err,
            "kelvarin-shred: " + file + ": overwritten but not removed: " + denied +
                "\nkelvarin-shred: " + tree +
                ": its files were shredded, but the directory was not removed: " + denied + "\n");
  EXPECT_EQ(verbose.code, 1);
  EXPECT_EQ(verbose.out, "");
  EXPECT_EQ(verbose.err,
            "kelvarin-shred: " + other + ": overwritten but not removed: " + denied + "\n");
}

// -d removes the directory when its files were all it held, and keeps it otherwise; -v and
// --json say which.
TEST_F(Cli, DirSaysWhetherTheDirectoryWasRemoved) {
  const std::string only_files = path("only-files"), with_sub = path("with-sub");
  fs::create_directories(path("with-sub/sub"));
  fs::create_directory(only_files);
  for (const std::string& dir : {only_files, with_sub}) {
    write_file(dir + "/a", std::string(1024, 'a'));
    write_file(dir + "/b", std::string(1024, 'b'));
  }
  const Result verbose = run({"-v", "-d", only_files});
  EXPECT_EQ(verbose.code, 0) << verbose.err;
  EXPECT_EQ(verbose.out, only_files +
                             ": 2 files shredded (DOD 5220.22-M (3-pass)): 2.0 KiB, overwritten in "
                             "3 passes each; the directory was removed\n");
  EXPECT_FALSE(fs::exists(only_files));

  fs::create_directory(only_files);
  write_file(only_files + "/c", "c");
  const Result json = run({"--json", "-m", "quick", "-d", only_files, with_sub});
  EXPECT_EQ(json.code, 0) << json.err;
  const std::vector<Json> lines = json_lines(json.out);
  ASSERT_EQ(lines.size(), 2u) << json.out;
  EXPECT_EQ(lines[0]["result"].text, "succeeded");
  EXPECT_EQ(lines[0]["directory"].text, "removed") << json.out;
  EXPECT_EQ(lines[1]["result"].text, "succeeded");
  EXPECT_EQ(lines[1]["directory"].text, "kept") << json.out;
  EXPECT_FALSE(fs::exists(only_files));
  EXPECT_EQ(posix_test::Names(with_sub), std::set<std::string>{"sub"});
}

// Failures read "kelvarin-shred: PATH: reason", with the path once (the file inside a tree that
// failed, not the tree) and the kernel's reason in words; a text of another shape is kept whole.
TEST_F(Cli, MessagesNameThePathOnceWithTheKernelsReason) {
  // A file without read permission in a tree its user owns: the library gives it back the
  // owner's write bit but cannot open it for reading and writing. Root reads anything, so the
  // command runs as an ordinary user, and the file stays root's.
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "setpriv (util-linux) is missing";
  }
  const std::string tree = path("tree"), kept = path("tree/kept");
  fs::create_directory(tree);
  write_file(kept, "kept\n");
  const Strings runner = as_nobody({tree});
  fs::permissions(kept, fs::perms::none);
  const Result direct = run({kept}, runner), walked = run({"-r", tree}, runner);
  const std::string reason =
      ": failed to open file for writing: " + std::string(std::strerror(EACCES)) + " (error " +
      std::to_string(EACCES) + ")\n";
  EXPECT_EQ(direct.code, 1);
  EXPECT_EQ(direct.err, "kelvarin-shred: " + kept + reason);
  EXPECT_EQ(walked.code, 1);
  EXPECT_EQ(walked.err, "kelvarin-shred: " + kept + reason);
  fs::permissions(kept, fs::perms::owner_read);
  EXPECT_EQ(read_file(kept), "kept\n");

  // Deeper than a path can name: the walk leaves the entry it cannot name, and its message,
  // which goes on after the directory's path, is printed as the library wrote it.
  const std::string deep = path("deep");
  fs::create_directory(deep);
  int fd = open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::string name(200, 'd');
  int depth = 0;
  for (; depth < 24 && fd >= 0; ++depth) {
    const int next = mkdirat(fd, name.c_str(), 0700) == 0
                         ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                         : -1;
    close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ASSERT_EQ(close(openat(fd, "far", O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 0);
  close(fd);
  const Result far = run({"-r", deep});
  EXPECT_EQ(far.code, 1);
  EXPECT_EQ(
      far.err.rfind("kelvarin-shred: " + deep + ": Path too long: entry \"" + name + "\" of ", 0),
      0u)
      << far.err;
  // Two halves, each shallow enough for the clean-up to name everything in it.
  std::string middle = deep;
  for (int i = 0; i < depth / 2; ++i) middle += "/" + name;
  EXPECT_EQ(rename(middle.c_str(), path("half").c_str()), 0);
}

TEST_F(Cli, JsonLinesCarryTheirOwnPathsStatsAndErrors) {
  const std::string a = path("a"), b = path("b"), missing = path("missing");
  write_file(a, std::string(1000, 'a'));
  write_file(b, std::string(3000, 'b'));
  // The failure sits between two successes, so a leftover message or figure would show.
  const Result r = run({"--json", a, missing, b});
  EXPECT_EQ(r.code, 1);
  const std::vector<Json> lines = json_lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  expect_succeeded(lines[0], a, 1000, 3);
  EXPECT_EQ(lines[1]["path"].text, missing);
  EXPECT_EQ(lines[1]["result"].text, "failed");
  EXPECT_TRUE(lines[1]["stats"].kind == Json::kNull && lines[1].members.count("stats"));
  EXPECT_EQ(lines[1]["error"].text, "File not found: " + missing);
  expect_succeeded(lines[2], b, 3000, 3);

  const std::string odd = path("quote\"back\\slash\ttab\x01");
  write_file(odd, "x");
  const Result escaped = run({"--json", "-m", "quick", odd});
  EXPECT_EQ(escaped.code, 0);
  const std::vector<Json> one = json_lines(escaped.out);
  ASSERT_EQ(one.size(), 1u) << escaped.out;
  expect_succeeded(one[0], odd, 1, 1);
}

// Names that are not UTF-8 still make valid lines, in the path, in the library's message and in
// the assessment, and each gives back its bytes.
TEST_F(Cli, JsonLinesOfNamesThatAreNotUtf8GiveTheirBytesBack) {
  const std::string latin1 = path("caf\xe9"), broken = path("cut\xe2\x82 \xff\x80\"\x01\\");
  const std::string four = path("lock \xf0\x9f\x94\x92"), missing = path("gone\xfe");
  for (const std::string& file : {latin1, broken, four}) write_file(file, "x");
  const Result shred = run({"--json", "-m", "quick", latin1, missing, broken, four});
  EXPECT_EQ(shred.code, 1) << shred.err;
  const std::vector<Json> lines = json_lines(shred.out);
  ASSERT_EQ(lines.size(), 4u) << shred.out;
  const std::string order[] = {latin1, missing, broken, four};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i]["path"].text, order[i]);
    EXPECT_EQ(lines[i]["assessment"]["path"].text, i == 1 ? "" : order[i]) << shred.out;
  }
  expect_succeeded(lines[0], latin1, 1, 1);
  EXPECT_EQ(lines[1]["error"].text, "File not found: " + missing);
  expect_succeeded(lines[2], broken, 1, 1);
  expect_succeeded(lines[3], four, 1, 1);

  write_file(broken, "y");
  const Result verify = run({"--verify", "--json", broken, missing});
  const Result assess = run({"--assess", "--json", broken});
  const std::vector<Json> verified = json_lines(verify.out), assessed = json_lines(assess.out);
  ASSERT_EQ(verified.size(), 2u) << verify.out;
  EXPECT_EQ(verified[0]["path"].text, broken);
  EXPECT_EQ(verified[1]["path"].text, missing);
  ASSERT_EQ(assessed.size(), 1u) << assess.out;
  EXPECT_EQ(assessed[0]["path"].text, broken);
}

TEST_F(Cli, VerboseQuietAndCustomPasses) {
  const std::string file = path("v"), missing = path("missing");
  write_file(file, std::string(1000, 'v'));
  const Result verbose = run({"-v", file});
  EXPECT_EQ(verbose.code, 0);
  EXPECT_TRUE(std::regex_match(
      verbose.out, std::regex(file + ": shredded \\(DOD 5220\\.22-M \\(3-pass\\)\\): 3000 bytes "
                                     "overwritten in 3 passes, [0-9]+ ms\n")))
      << verbose.out;
  write_file(file, std::string(1000, 'v'));
  const Result one = run({"-v", "-m", "quick", file});
  EXPECT_NE(one.out.find(": 1000 bytes overwritten in 1 pass, "), kNever) << one.out;

  // A tree is told by its files, not by the last of them; with -d the directory stays, and
  // the command says so and what it still holds.
  const std::string tree = path("tree");
  fs::create_directories(path("tree/sub"));
  write_file(path("tree/a"), std::string(1024, 'a'));
  write_file(path("tree/b"), std::string(1024, 'b'));
  write_file(path("tree/sub/c"), "c");
  const Result flat = run({"-v", "-d", tree});
  EXPECT_EQ(flat.code, 0) << flat.err;
  EXPECT_EQ(flat.out, tree +
                          ": 2 files shredded (DOD 5220.22-M (3-pass)): 2.0 KiB, overwritten in 3 "
                          "passes each; the directory is kept, with 1 subdirectory\n");
  EXPECT_EQ(read_file(path("tree/sub/c")), "c");
  const Result recursive = run({"-v", "-r", "-m", "quick", tree});
  EXPECT_EQ(recursive.code, 0) << recursive.err;
  EXPECT_EQ(recursive.out,
            tree + ": shredded (Quick (1-pass)): 1 file, 1 B, overwritten in 1 pass each\n");
  EXPECT_FALSE(fs::exists(tree));

  write_file(file, "q");
  const Result quiet = run({"-q", file}), quiet_error = run({"-q", missing});
  EXPECT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(quiet_error.code, 1);
  EXPECT_EQ(quiet_error.err, "kelvarin-shred: " + missing + ": file not found\n");

  // -n alone and with -m custom name the same method.
  for (const Strings& args : {Strings{"-n", "5"}, Strings{"-m", "custom", "-n", "5"}}) {
    write_file(file, std::string(4096, 'n'));
    Strings full = args;
    full.insert(full.begin(), "--json");
    full.push_back(file);
    const Result custom = run(full);
    EXPECT_EQ(custom.code, 0) << custom.err;
    const std::vector<Json> lines = json_lines(custom.out);
    ASSERT_EQ(lines.size(), 1u);
    expect_succeeded(lines[0], file, 4096, 5);
    EXPECT_FALSE(fs::exists(file));
  }
}

TEST_F(Cli, VerifyReadsButNeverShreds) {
  const std::string text = path("text"), zeros = path("zeros"), zeros2 = path("zeros2");
  const std::string missing = path("missing");
  std::string prose;
  while (prose.size() < 8192) prose += "Plain readable prose, line after line.\n";
  write_file(text, prose);
  write_file(zeros, std::string(8192, '\0'));
  write_file(zeros2, std::string(100, '\0'));

  const Result plain = run({"--verify", text}), clean = run({"--verify", zeros, zeros2});
  EXPECT_EQ(plain.code, 1);
  EXPECT_EQ(plain.out, text + ": does not look overwritten\n");
  EXPECT_EQ(clean.code, 0);
  EXPECT_EQ(clean.out, zeros + ": looks overwritten\n" + zeros2 + ": looks overwritten\n");
  const Result absent = run({"--verify", zeros, missing});
  EXPECT_EQ(absent.code, 1);
  EXPECT_EQ(absent.err, "kelvarin-shred: " + missing + ": not a readable file\n");

  const Result json = run({"--verify", "--json", text, zeros, missing});
  EXPECT_EQ(json.code, 1);
  const std::vector<Json> lines = json_lines(json.out);
  ASSERT_EQ(lines.size(), 3u) << json.out;
  const bool expected[3][2] = {{true, false}, {true, true}, {false, false}};  // checked, looks
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(lines[i]["checked"].kind == Json::kBool &&
                lines[i]["checked"].boolean == expected[i][0]);
    EXPECT_TRUE(lines[i]["looks_overwritten"].kind == Json::kBool &&
                lines[i]["looks_overwritten"].boolean == expected[i][1])
        << json.out;
  }
  EXPECT_EQ(read_file(text), prose);
  EXPECT_EQ(fs::file_size(zeros), 8192u);
}

// The assessment reads and never shreds; a kernel file system is one the library does not know,
// so shredding there warns (once per run) and --strict refuses before the library is asked.
TEST_F(Cli, AssessReadsAndStrictRefusesWhatCannotBeJudged) {
  const std::string file = path("plain"), missing = path("missing");
  write_file(file, "plain text\n");
  const Result text = run({"--assess", file});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_TRUE(
      std::regex_search(text.out, std::regex("^" + file + ": overwritten in place: (yes|no)\n")))
      << text.out;
  const Result json = run({"--assess", "--json", file, "/proc/self/comm"});
  EXPECT_EQ(json.code, 0) << json.err;
  const std::vector<Json> lines = json_lines(json.out);
  ASSERT_EQ(lines.size(), 2u) << json.out;
  EXPECT_EQ(lines[0]["path"].text, file);
  EXPECT_NE(lines[0]["filesystem"].text, "");
  EXPECT_EQ(lines[1]["filesystem"].text, "proc");
  EXPECT_EQ(lines[1]["in_place"].text, "unknown");
  for (const Json& line : lines) {
    EXPECT_EQ(line["reasons"].kind, Json::kArray);
    for (const Json& reason : line["reasons"].items) {
      EXPECT_EQ(reason["code"].kind, Json::kString);
      EXPECT_EQ(reason["detail"].kind, Json::kString);
    }
    EXPECT_TRUE(std::regex_match(line["medium"].text, std::regex("rotational|flash|unknown")));
  }
  EXPECT_EQ(read_file(file), "plain text\n");
  const Result absent = run({"--assess", missing});
  EXPECT_EQ(absent.code, 1);
  EXPECT_EQ(absent.err, "kelvarin-shred: " + missing + ": file not found\n");
  EXPECT_EQ(run({"--assess", "-r", file}).code, 2);

  const Result warned = run({"/proc/self/comm", "/proc/self/comm"});
  EXPECT_EQ(warned.code, 1);
  const std::string warning =
      "kelvarin-shred: warning: /proc/self/comm: the file system is not "
      "one the library knows";
  EXPECT_EQ(warned.err.find(warning), 0u) << warned.err;
  EXPECT_EQ(warned.err.find(warning, 1), kNever) << "said twice: " << warned.err;
  EXPECT_NE(warned.err.find("kernel pseudo file system"), kNever) << warned.err;
  // -q keeps the warning to itself, never the error.
  const Result quiet = run({"-q", "/proc/self/comm"});
  EXPECT_EQ(quiet.code, 1);
  EXPECT_EQ(quiet.err.find("warning"), kNever) << quiet.err;
  EXPECT_NE(quiet.err.find("kernel pseudo file system"), kNever) << quiet.err;
  const Result strict = run({"--strict", "/proc/self/comm"});
  EXPECT_EQ(strict.code, 1);
  EXPECT_EQ(strict.err.find("kelvarin-shred: /proc/self/comm: refused: overwriting may not reach "
                            "the old data here"),
            0u)
      << strict.err;
}

TEST_F(Cli, SigintCancelsTheJobAndLeavesTheFileAtFullLength) {
  const std::string file = path("big");
  write_big(file, 256 * kMiB);
  const Result r = interrupt({"-m", "gutmann", file}, file);
  EXPECT_EQ(r.code, 130) << r.err;
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), static_cast<uintmax_t>(256 * kMiB));
  EXPECT_NE(r.err.find("cancelled"), kNever) << r.err;
}

// With -n the library runs synchronously and cannot be cancelled; Ctrl-C must still stop at once,
// not after the 100 passes (several gigabytes of writes) the file in progress still has.
TEST_F(Cli, SigintDuringCustomPassesStopsAtOnce) {
  const std::string first = path("first"), second = path("second");
  write_big(first, 64 * kMiB);
  write_big(second, 16 * kMiB);
  const Result r = interrupt({"-n", "100", first, second}, first);
  EXPECT_EQ(r.code, 130) << r.err;
  std::error_code ec;
  EXPECT_EQ(fs::file_size(first, ec), static_cast<uintmax_t>(64 * kMiB))
      << "the file in progress was finished first";
  EXPECT_EQ(fs::file_size(second, ec), static_cast<uintmax_t>(16 * kMiB))
      << "Ctrl-C was ignored and the next path shredded";
  EXPECT_EQ(r.err, "kelvarin-shred: " + first +
                       ": interrupted; the file is left under its name at full length (64.0 MiB), "
                       "partly overwritten\n");
}

// Runs the command on a pseudo-terminal of `columns` columns (0: one that does not say).
Result run_on_terminal(Strings args, unsigned short columns) {
  Argv argv(std::move(args));
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  Child child;
  child.pid = forkpty(&child.fds[0], nullptr, nullptr, &size);
  if (child.pid == 0) {
    execv(argv.ptrs[0], argv.ptrs.data());
    _exit(127);
  }
  return finish(child, 1);
}

double in_bytes(const std::string& number, const std::string& unit) {
  static const std::map<std::string, double> kUnits = {
      {"B", 1}, {"KiB", 1024.0}, {"MiB", 1024.0 * 1024}, {"GiB", 1024.0 * 1024 * 1024}};
  return std::stod(number) * kUnits.at(unit);
}

struct Redraw {
  int percent = 0;
  double done = -1, total = -1;  // -1: the byte counter was left out
};

// Every redraw of the progress line as the terminal got it, each checked whole: it fits in
// `width`, every part is there entire or not at all, and the bar, the percent and the bytes say
// the same. `detail` is the pattern of what may follow the figures.
std::vector<Redraw> redraws(const std::string& tty, size_t width, const std::string& detail) {
  static const std::string kSize = "([0-9]+(?:\\.[0-9])?) (B|KiB|MiB|GiB)";
  const std::regex shape("(?:\\[([#.]{24})\\] )? *([0-9]+)%(?:  " + kSize + " / " + kSize +
                         ")?(?:  [0-9.]+ (?:B|KiB|MiB|GiB)/s)?(?:  (?:" + detail + "))?");
  std::vector<Redraw> seen;
  std::string text = std::regex_replace(tty, std::regex("\033\\[K|\n"), "");
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, '\r');) {
    if (line.empty()) continue;
    std::smatch m;
    EXPECT_LE(line.size(), width) << line;
    if (!std::regex_match(line, m, shape)) {
      ADD_FAILURE() << "a redraw with a part cut or missing: '" << line << "'";
      continue;
    }
    Redraw r;
    r.percent = std::stoi(m[2]);
    if (m[1].matched) {
      const std::string bar = m[1];
      EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), r.percent * 24 / 100) << line;
    }
    if (m[3].matched) {
      r.done = in_bytes(m[3], m[4]);
      r.total = in_bytes(m[5], m[6]);
      // Both figures are rounded to a tenth of their unit.
      EXPECT_NEAR(r.done * 100 / r.total, r.percent, 1.5) << line;
    }
    seen.push_back(r);
  }
  return seen;
}

TEST_F(Cli, ProgressBarOnATerminalOnly) {
  const std::string file = path("payload");
  write_big(file, 128 * kMiB);
  const Result tty = run_on_terminal({"-m", "dod3", file}, 120);
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_FALSE(fs::exists(file));
  EXPECT_NE(tty.out.find('\r'), kNever);
  const std::vector<Redraw> lines = redraws(tty.out, 119, "payload");
  std::vector<int> percents;
  for (const Redraw& r : lines) percents.push_back(r.percent);
  ASSERT_FALSE(percents.empty()) << tty.out;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << tty.out;
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 3u) << tty.out;
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(lines.back().done, 3 * 128.0 * kMiB);

  // A narrow terminal loses whole parts, the percent last.
  write_big(file, 32 * kMiB);
  const Result narrow = run_on_terminal({"-m", "dod3", file}, 40);
  EXPECT_EQ(narrow.code, 0) << narrow.out;
  const std::vector<Redraw> few = redraws(narrow.out, 39, "payload");
  ASSERT_FALSE(few.empty()) << narrow.out;
  EXPECT_EQ(few.back().percent, 100);

  write_big(file, 32 * kMiB);
  const Result piped = run({"-m", "dod3", file});
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.out, "");
  EXPECT_EQ(piped.err.find_first_of("\r%"), kNever) << piped.err;
}

// A tree's progress comes from bytes: those of the files gone and the share of the file in
// progress, so that it moves during a large file and the percent agrees with the byte counter.
// A terminal that does not tell its width gets 80 columns, and the detail is never cut.
TEST_F(Cli, TreeProgressFollowsBytesWithinEightyColumns) {
  const std::string tree = path("tree");
  fs::create_directories(path("tree/sub"));
  write_big(path("tree/sub/large"), 128 * kMiB);
  for (int i = 0; i < 3; ++i) write_file(path("tree/small" + std::to_string(i)), "small\n");
  const Result tty = run_on_terminal({"-r", "-m", "dod7", tree}, 0);
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_FALSE(fs::exists(tree));
  const std::vector<Redraw> lines = redraws(tty.out, 79, "file [0-9]+ of 4|[0-9]+/4|done");
  std::vector<double> done;
  std::vector<int> percents;
  for (const Redraw& r : lines) {
    if (r.done >= 0) done.push_back(r.done);
    percents.push_back(r.percent);
  }
  ASSERT_FALSE(done.empty()) << tty.out;
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end())) << tty.out;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << tty.out;
  // With one large file among four, counting files would give 0, 25, 50, 75 and 100 only.
  std::set<int> between;
  for (const int p : percents) {
    if (p % 25 != 0) between.insert(p);
  }
  EXPECT_GE(between.size(), 3u) << tty.out;
  EXPECT_EQ(percents.back(), 100);
}

// The free-space wipe from the command: the usage it takes, refusals, a wipe with its report and
// JSON, and Ctrl-C, which must leave no fill behind. The wipes run on a loop-mounted image only.
TEST_F(Cli, FreeSpaceWipesAnImageReportsAndCancelsWithoutLeavingItsFill) {
  const std::string mnt = path("mnt");
  fs::create_directory(mnt);
  for (const Strings& args :
       {Strings{"--free-space", mnt, path("x")}, Strings{"--free-space", mnt, "-r"},
        Strings{"--free-space", mnt, "-n", "3"}, Strings{"--free-space", mnt, "-m", "custom"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << args.back() << ": " << r.err;
  }
  Result r = run({"--free-space", "/proc"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "kelvarin-shred: /proc: refusing to fill a kernel pseudo file system\n");

  if (geteuid() != 0) GTEST_SKIP() << "the wipes need a loop mount, which needs root";
  posix_test::Mount guard(mnt);
  const std::string why_not =
      posix_test::MountImage(path("disk.img"), 64, "mkfs.ext4 -q -F", "", mnt, &guard);
  if (!why_not.empty()) GTEST_SKIP() << why_not;
  const auto fill_left = [&mnt] {
    for (const std::string& name : posix_test::Names(mnt)) {
      if (name.rfind("__shred_fill_", 0) == 0) return true;
    }
    return false;
  };

  r = run({"--free-space", mnt});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex(mnt + ": free space wiped \\(Quick \\(1-pass\\)\\): [0-9.]+ MiB in 1 "
                              "pass(, [0-9.]+ [KM]?i?B not reached)?\n")))
      << r.out;
  EXPECT_FALSE(fill_left());

  r = run({"--free-space", mnt, "-m", "dod3", "--json"});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::vector<Json> lines = json_lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0]["result"].text, "succeeded");
  EXPECT_EQ(lines[0]["error"].kind, Json::kNull);
  const Json& stats = lines[0]["stats"];
  const long long wiped = std::stoll(stats["free_space_wiped"].text);
  EXPECT_GT(wiped, 40 * kMiB);
  EXPECT_EQ(std::stoll(stats["bytes_overwritten"].text), 3 * wiped);
  EXPECT_EQ(stats["passes_completed"].text, "3");
  EXPECT_FALSE(fill_left());

  // Ctrl-C once the fill exists: the job removes it before the command ends.
  const Child child = start({"--free-space", mnt, "-m", "gutmann"});
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!fill_left() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(fill_left()) << "the wipe never started";
  kill(child.pid, SIGINT);
  r = finish(child);
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_EQ(r.err, "kelvarin-shred: " + mnt + ": cancelled; the fill was removed\n");
  EXPECT_FALSE(fill_left());
}

}  // namespace
