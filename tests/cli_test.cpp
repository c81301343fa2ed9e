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
  EXPECT_EQ(line["error"].kind, Json::kString);
  EXPECT_EQ(line["error"].text, "No error") << path;
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
      {{"-m", "quick", "-n", "5", file}, "cannot be combined with -m"},
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
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i];
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
  EXPECT_EQ(r.err, "kelvarin-shred: " + missing + ": File not found: " + missing + "\n");
}

// A writable file in a directory its owner may not change: the library overwrites it and reports
// success, the directory keeps the name, and the command says so and fails, as `shred -u` does.
TEST_F(Cli, FileOverwrittenButNotRemovedFailsTheRun) {
  const std::string locked = path("locked"), file = path("locked/secret");
  fs::create_directory(locked);
  write_file(file, "secret text\n");
  Strings runner;
  if (geteuid() == 0) {
    // Root may change any directory, so the command runs as an ordinary user.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
    runner = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec);
  const Result r = run({file}, runner);
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.err, "kelvarin-shred: overwritten but not removed: " + file + " (" +
                       std::strerror(EACCES) + ")\n");
  EXPECT_EQ(read_file(file), "");  // overwritten, then truncated
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

TEST_F(Cli, VerboseQuietAndCustomPasses) {
  const std::string file = path("v"), missing = path("missing");
  write_file(file, std::string(1000, 'v'));
  const Result verbose = run({"-v", file});
  EXPECT_EQ(verbose.code, 0);
  EXPECT_EQ(verbose.out.rfind(file + ": ", 0), 0u) << verbose.out;
  EXPECT_NE(verbose.out.find("3000 bytes overwritten in 3 passes"), kNever) << verbose.out;

  write_file(file, "q");
  const Result quiet = run({"-q", file}), quiet_error = run({"-q", missing});
  EXPECT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(quiet_error.code, 1);
  EXPECT_NE(quiet_error.err.find("File not found: " + missing), kNever);

  write_file(file, std::string(4096, 'n'));
  const Result custom = run({"--json", "-n", "5", file});
  EXPECT_EQ(custom.code, 0) << custom.err;
  const std::vector<Json> lines = json_lines(custom.out);
  ASSERT_EQ(lines.size(), 1u);
  expect_succeeded(lines[0], file, 4096, 5);
  EXPECT_FALSE(fs::exists(file));
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
  EXPECT_EQ(absent.err, "kelvarin-shred: " + missing + ": File not found: " + missing + "\n");
  EXPECT_EQ(run({"--assess", "-r", file}).code, 2);

  const Result warned = run({"/proc/self/comm", "/proc/self/comm"});
  EXPECT_EQ(warned.code, 1);
  const std::string warning =
      "kelvarin-shred: warning: /proc/self/comm: the file system is not "
      "one the library knows";
  EXPECT_EQ(warned.err.find(warning), 0u) << warned.err;
  EXPECT_EQ(warned.err.find(warning, 1), kNever) << "said twice: " << warned.err;
  EXPECT_NE(warned.err.find("kernel pseudo file system"), kNever) << warned.err;
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

TEST_F(Cli, SigintDuringCustomPassesStopsBeforeTheNextPath) {
  const std::string first = path("first"), second = path("second");
  write_big(first, 16 * kMiB);
  write_big(second, 16 * kMiB);
  const Result r = interrupt({"-n", "20", first, second}, first);
  EXPECT_EQ(r.code, 130) << r.err;
  std::error_code ec;
  EXPECT_EQ(fs::file_size(second, ec), static_cast<uintmax_t>(16 * kMiB))
      << "Ctrl-C was ignored and the next path shredded";
}

TEST_F(Cli, ProgressBarOnATerminalOnly) {
  const std::string file = path("payload");
  write_big(file, 128 * kMiB);
  Argv argv({"-m", "dod3", file});
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 120;
  Child child;
  child.pid = forkpty(&child.fds[0], nullptr, nullptr, &size);
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    execv(argv.ptrs[0], argv.ptrs.data());
    _exit(127);
  }
  const Result tty = finish(child, 1);
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_FALSE(fs::exists(file));
  std::vector<int> percents;
  static const std::regex percent("([0-9]+)%");
  for (std::sregex_iterator it(tty.out.begin(), tty.out.end(), percent), end; it != end; ++it) {
    percents.push_back(std::stoi((*it)[1]));
  }
  EXPECT_NE(tty.out.find('\r'), kNever);
  ASSERT_FALSE(percents.empty()) << tty.out;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << tty.out;
  EXPECT_GE(std::set<int>(percents.begin(), percents.end()).size(), 3u) << tty.out;
  EXPECT_EQ(percents.back(), 100);

  write_big(file, 32 * kMiB);
  const Result piped = run({"-m", "dod3", file});
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.out, "");
  EXPECT_EQ(piped.err.find_first_of("\r%"), kNever) << piped.err;
}

}  // namespace
