// kelvarin-shred: the library's command-line front end. It uses the library exactly as any other
// program would, through the exported functions of the public header: every path runs as a job
// that the command follows (and cancels on Ctrl-C), and every failure is the library's message,
// put into the "program: path: reason" form that other tools' messages have.
#include <getopt.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
#include "kelvarin_shred.h"
#include "progress.h"
#include "shred_json.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// The library writes its own paths with the system's separator; "/" is one everywhere.
constexpr bool kWindowsSeparators = fs::path::preferred_separator == '\\';

struct Options {
  shred_method method = SHRED_METHOD_DOD_3PASS;
  bool method_given = false;  // other than "custom", which goes with -n
  int passes = 0;             // custom passes; 0 when not asked for
  bool recursive = false;
  bool flat = false;
  bool verify = false;
  bool assess = false;
  bool strict = false;
  bool list_methods = false;
  bool verbose = false;
  bool json = false;
  bool quiet = false;
  std::string free_space;  // --free-space DIR; empty when not asked for
  std::vector<std::string> paths;
};

struct MethodName {
  const char* name;
  shred_method method;
};
constexpr MethodName kMethods[] = {{"quick", SHRED_METHOD_QUICK},
                                   {"dod3", SHRED_METHOD_DOD_3PASS},
                                   {"dod7", SHRED_METHOD_DOD_7PASS},
                                   {"gutmann", SHRED_METHOD_GUTMANN}};

void print_usage(std::FILE* out) {
  std::fprintf(
      out,
      "Usage: kelvarin-shred [OPTIONS] PATH...\n"
      "       kelvarin-shred [-m METHOD] [-v] [--json] [-q] --free-space DIR\n"
      "Overwrite files so that their contents cannot be read back, then delete them.\n"
      "\n"
      "  -m, --method NAME   quick, dod3, dod7, gutmann or custom (default dod3)\n"
      "  -n, --passes N      a custom number of passes, 1 to 100 (files only);\n"
      "                      the custom method needs it\n"
      "  -r, --recursive     shred directories and everything below them\n"
      "  -d, --dir           shred the files directly inside directories\n"
      "      --verify        check whether each PATH looks overwritten; shreds nothing\n"
      "      --assess        tell whether overwriting can reach each PATH's old data;\n"
      "                      shreds nothing\n"
      "      --strict        refuse a PATH where overwriting cannot reach the old data\n"
      "      --list-methods  list the overwrite methods and their passes\n"
      "      --free-space DIR  fill the free space of the file system holding DIR with\n"
      "                      the method's passes (default quick), then remove the fill\n"
      "  -v, --verbose       print each path and its statistics\n"
      "      --json          print one JSON object per path\n"
      "  -q, --quiet         print nothing but results and errors\n"
      "  -h, --help          show this help\n"
      "      --version       show the version\n"
      "\n"
      "Links are never followed. Ctrl-C stops at once, also with -n: the file being\n"
      "overwritten is left under its own name at full length, partly overwritten;\n"
      "files already shredded are gone, and no further path is started.\n"
      "Exit status: 0 all paths succeeded, 1 some failed, 2 usage error, 130 interrupted.\n");
}

int usage_error(const char* format, const char* detail) {
  std::fprintf(stderr, "kelvarin-shred: ");
  std::fprintf(stderr, format, detail);
  std::fprintf(stderr, "\nTry 'kelvarin-shred --help' for more information.\n");
  return kExitUsage;
}

// Returns kExitOk when the options are usable; otherwise the usage error has been printed.
int parse_options(int argc, char** argv, Options* options) {
  enum { kVerify = 256, kListMethods, kJson, kVersion, kAssess, kStrict, kFreeSpace };
  static const option kLong[] = {{"method", required_argument, nullptr, 'm'},
                                 {"passes", required_argument, nullptr, 'n'},
                                 {"recursive", no_argument, nullptr, 'r'},
                                 {"dir", no_argument, nullptr, 'd'},
                                 {"verify", no_argument, nullptr, kVerify},
                                 {"assess", no_argument, nullptr, kAssess},
                                 {"strict", no_argument, nullptr, kStrict},
                                 {"list-methods", no_argument, nullptr, kListMethods},
                                 {"free-space", required_argument, nullptr, kFreeSpace},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"json", no_argument, nullptr, kJson},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, kVersion},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  bool custom_named = false;
  int c;
  while ((c = getopt_long(argc, argv, ":m:n:rdvqh", kLong, nullptr)) != -1) {
    switch (c) {
      case 'm': {
        // As with every option, the last -m counts.
        custom_named = std::strcmp(optarg, "custom") == 0;
        options->method_given = !custom_named;
        if (custom_named) break;
        bool known = false;
        for (const MethodName& m : kMethods) {
          if (std::strcmp(optarg, m.name) == 0) {
            options->method = m.method;
            known = true;
          }
        }
        if (!known) return usage_error("unknown method '%s' (see --list-methods)", optarg);
        break;
      }
      case 'n': {
        char* end = nullptr;
        const long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 1 || n > SHRED_MAX_CUSTOM_PASSES) {
          return usage_error("invalid number of passes '%s' (1 to 100)", optarg);
        }
        options->passes = static_cast<int>(n);
        break;
      }
      case 'r':
        options->recursive = true;
        break;
      case 'd':
        options->flat = true;
        break;
      case 'v':
        options->verbose = true;
        break;
      case 'q':
        options->quiet = true;
        break;
      case kVerify:
        options->verify = true;
        break;
      case kAssess:
        options->assess = true;
        break;
      case kStrict:
        options->strict = true;
        break;
      case kListMethods:
        options->list_methods = true;
        break;
      case kJson:
        options->json = true;
        break;
      case kFreeSpace:
        if (optarg[0] == '\0') return usage_error("%s", "--free-space needs a directory");
        options->free_space = optarg;
        break;
      case 'h':
        print_usage(stdout);
        std::exit(kExitOk);
      case kVersion:
        std::printf("kelvarin-shred %s\n", KELVARIN_SHRED_VERSION);
        std::exit(kExitOk);
      case ':':
      default: {
        // A short option may sit inside a group ("-xq"), so name the letter, not the argument.
        char letter[3] = {'-', static_cast<char>(optopt), '\0'};
        const char* name = optopt != 0 ? letter : argv[optind - 1];
        return usage_error(c == ':' ? "option '%s' needs a value" : "unknown option '%s'", name);
      }
    }
  }
  for (int i = optind; i < argc; ++i) options->paths.emplace_back(argv[i]);

  if (options->list_methods) return kExitOk;
  if (!options->free_space.empty()) {
    if (!options->paths.empty()) {
      return usage_error("%s", "--free-space takes its directory and no PATH");
    }
    if (options->recursive || options->flat || options->verify || options->assess ||
        options->strict || options->passes != 0 || custom_named) {
      return usage_error("%s",
                         "--free-space takes only -m (quick, dod3, dod7 or gutmann), -v, --json "
                         "and -q");
    }
    // Its time grows with the free space, so one random pass unless asked for more.
    if (!options->method_given) options->method = SHRED_METHOD_QUICK;
    return kExitOk;
  }
  if (options->paths.empty()) return usage_error("%s", "missing PATH");
  if (options->recursive && options->flat) return usage_error("%s", "-r and -d exclude each other");
  if (options->passes != 0 && options->method_given) {
    return usage_error("%s", "-n chooses the custom method; it cannot be combined with another -m");
  }
  if (custom_named && options->passes == 0) {
    return usage_error("%s", "-m custom needs -n N, the number of passes (1 to 100)");
  }
  if (options->passes != 0 && (options->recursive || options->flat)) {
    return usage_error("%s", "-n applies to files only");
  }
  if (options->verify &&
      (options->recursive || options->flat || options->passes != 0 || options->method_given)) {
    return usage_error("%s", "--verify takes no shredding options");
  }
  if (options->assess && (options->verify || options->recursive || options->flat ||
                          options->passes != 0 || options->method_given || options->strict)) {
    return usage_error("%s", "--assess takes no shredding or verifying options");
  }
  return kExitOk;
}

void list_methods() {
  for (const MethodName& m : kMethods) {
    std::printf("%-8s %-24s %d pass%s\n", m.name, shred_method_name(m.method),
                shred_method_passes(m.method), shred_method_passes(m.method) == 1 ? "" : "es");
  }
  std::printf("%-8s %-24s 1 to %d passes (-m custom -n N, or -n N)\n", "custom",
              shred_method_name(SHRED_METHOD_CUSTOM), SHRED_MAX_CUSTOM_PASSES);
}

// A text as a JSON string, written as the library writes its own documents (see shred_json.h):
// a name that is not UTF-8 still gives a valid line, and its bytes can be recovered from it.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  shred_json_escape(text.c_str(),
                    [&out](const char* bytes, size_t length) { out.append(bytes, length); });
  return out + "\"";
}

// "PATH: reason" for the library's last-error text `text` about the command's argument `path`.
// The library writes "Reason: PATH" with " (error N)" after a kernel failure, where PATH is the
// argument or, in a directory job, a path below it. That shape becomes "PATH: reason: <the
// kernel's words> (error N)"; any other text is kept as it is, after the argument.
std::string failure_text(const std::string& path, const std::string& text) {
  std::string as_is = path + ": " + text;
  std::string rest = text;
  std::string kernel;
  static const std::string kError = " (error ";
  const size_t error_at = rest.rfind(kError);
  if (error_at != std::string::npos && rest.back() == ')') {
    const std::string digits =
        rest.substr(error_at + kError.size(), rest.size() - 1 - error_at - kError.size());
    if (digits.empty() || digits.size() > 10 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](char ch) { return ch >= '0' && ch <= '9'; })) {
      return as_is;
    }
    kernel = ": " + console_error_text(std::strtoul(digits.c_str(), nullptr, 10)) + " (error " +
             digits + ")";
    rest.resize(error_at);
  }
  // The first place where the argument follows ": " or " of " starts the named path.
  size_t joint = std::string::npos, named_at = 0;
  for (const char* glue : {": ", " of "}) {
    const size_t at = rest.find(glue + path);
    if (at < joint) joint = at, named_at = at + std::strlen(glue);
  }
  if (joint == std::string::npos || joint == 0) return as_is;
  const std::string named = rest.substr(named_at);
  const bool below = named.size() > path.size() &&
                     (path.back() == '/' || named[path.size()] == '/' ||
                      (kWindowsSeparators && (path.back() == '\\' || named[path.size()] == '\\')));
  // A path below the argument is one the walk met; it still exists, since the library leaves a
  // failed file where it was. A text that goes on after the path does not name one.
  std::error_code ec;
  if (named != path && (!below || !fs::exists(fs::symlink_status(console_path(named), ec)))) {
    return as_is;
  }
  std::string reason = rest.substr(0, joint);
  // "Failed to ..." reads "failed to ..." after a colon; a name in capitals ("DOD") stays.
  if (reason.size() > 1 && std::isupper(static_cast<unsigned char>(reason[0])) &&
      std::islower(static_cast<unsigned char>(reason[1]))) {
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  }
  return named + ": " + reason + kernel;
}

void print_failure(const std::string& path) {
  std::fprintf(stderr, "kelvarin-shred: %s\n", failure_text(path, shred_last_error()).c_str());
}

// Regular files under a path (the path itself when it is one), links not followed.
struct TreeCount {
  int64_t files = 0;
  int64_t bytes = 0;
};

TreeCount count_files(const fs::path& path, bool recursive) {
  TreeCount count;
  std::error_code ec;
  if (console_is_link(fs::directory_entry(path, ec))) return count;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (fs::is_regular_file(status)) {
    count.files = 1;
    count.bytes = static_cast<int64_t>(fs::file_size(path, ec));
    return count;
  }
  if (!fs::is_directory(status)) return count;
  auto add = [&count](const fs::directory_entry& entry) {
    std::error_code err;
    if (entry.is_regular_file(err) && !console_is_link(entry)) {
      ++count.files;
      count.bytes += static_cast<int64_t>(entry.file_size(err));
    }
  };
  if (recursive) {
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (console_is_link(*it)) {
        it.disable_recursion_pending();  // a link back up the tree would never end the count
        continue;
      }
      add(*it);
    }
  } else {
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) add(*it);
  }
  return count;
}

// The regular files a job will meet, listed once before it starts, in the order the library's
// walk meets them: both read each directory in the order the system lists it and go into a
// subdirectory where its entry comes up. Following the job then costs a few lookups per redraw
// instead of a walk of the tree: the first listed file that still exists is the one in progress,
// unless a later one is already gone, which means the walk failed on it and moved on.
class TreePlan {
 public:
  TreePlan() = default;
  TreePlan(const std::string& argument, bool recursive) {
    std::error_code ec;
    const fs::path path = console_path(argument);
    if (console_is_link(fs::directory_entry(path, ec))) return;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (fs::is_regular_file(status)) {
      add(path.parent_path(), path.filename(), static_cast<int64_t>(fs::file_size(path, ec)));
      return;
    }
    if (!fs::is_directory(status)) return;
    auto take = [this](const fs::directory_entry& entry) {
      std::error_code err;
      if (!fs::is_regular_file(entry.symlink_status(err)) || console_is_link(entry)) return;
      add(entry.path().parent_path(), entry.path().filename(),
          static_cast<int64_t>(entry.file_size(err)));
    };
    if (recursive) {
      for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (console_is_link(*it)) {
          it.disable_recursion_pending();  // the library's walk never enters a link either
          continue;
        }
        take(*it);
      }
    } else {
      for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) take(*it);
    }
  }

  int64_t files() const { return static_cast<int64_t>(files_.size()); }
  int64_t bytes() const { return total_; }
  int64_t passed_files() const { return static_cast<int64_t>(next_); }
  int64_t passed_bytes() const { return passed_; }
  int64_t next_size() const { return next_ < files_.size() ? files_[next_].size : 0; }

  // Moves past the files that are gone and past those left behind before a gone one. Probing
  // ahead at doubling distances finds a gone file in a few lookups, however long the tree.
  void follow() {
    while (next_ < files_.size()) {
      if (gone(next_)) {
        pass(next_ + 1);
        continue;
      }
      size_t found = 0;
      for (size_t step = 1; next_ + step < files_.size() && found == 0; step *= 2) {
        if (gone(next_ + step)) found = next_ + step;
      }
      if (found == 0) return;
      pass(found + 1);
    }
  }

 private:
  struct File {
    size_t dir;   // index into dirs_
    size_t name;  // offset of its NUL-terminated name in names_
    int64_t size;
  };

  void add(const fs::path& dir, const fs::path& name, int64_t size) {
    if (dirs_.empty() || dirs_.back() != dir) dirs_.push_back(dir);
    files_.push_back(File{dirs_.size() - 1, names_.size(), size});
    names_.append(name.native()).push_back(fs::path::value_type{});
    total_ += size;
  }

  bool gone(size_t index) const {
    const File& file = files_[index];
    std::error_code ec;
    const fs::path path = dirs_[file.dir] / (names_.c_str() + file.name);
    return fs::symlink_status(path, ec).type() == fs::file_type::not_found;
  }

  void pass(size_t until) {
    for (; next_ < until; ++next_) passed_ += files_[next_].size;
  }

  // The names share one buffer: a million files are a million small records, not a million
  // strings.
  std::vector<fs::path> dirs_;
  fs::path::string_type names_;  // in the system's own encoding, as std::filesystem lists them
  std::vector<File> files_;
  int64_t total_ = 0;
  size_t next_ = 0;
  int64_t passed_ = 0;
};

enum class Outcome { kSucceeded, kFailed, kCancelled };

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSucceeded:
      return "succeeded";
    case Outcome::kCancelled:
      return "cancelled";
    default:
      return "failed";
  }
}

// Waits for the job `id` to end, cancelling it at the first Ctrl-C, and calls redraw(cancelled)
// every 50 ms while it runs. *cancel_sent says whether it was cancelled; returns its final status.
template <typename Redraw>
int32_t follow_job(int32_t id, bool* cancel_sent, Redraw redraw) {
  int32_t status;
  while ((status = shred_is_complete(id)) == SHRED_JOB_RUNNING) {
    if (console_interrupted() && !*cancel_sent) {
      shred_cancel(id);
      *cancel_sent = true;
    }
    redraw(*cancel_sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return status;
}

Outcome outcome_of(int32_t status, bool cancel_sent) {
  if (cancel_sent) return Outcome::kCancelled;
  return status == SHRED_JOB_SUCCEEDED ? Outcome::kSucceeded : Outcome::kFailed;
}

// Runs one path as a job and follows it to its end, drawing progress when asked to. The bar,
// the percent, the byte counter and the rate all come from bytes: those of the files gone, plus
// the share of the file in progress that the job reports.
Outcome run_job(const std::string& path, bool directory, const Options& options, bool show_bar,
                TreePlan* plan) {
  const int64_t passes = shred_method_passes(options.method);
  int32_t id = -1;
  {
    const ConsoleInterruptHold hold;  // the job's worker leaves interrupts to this thread
    id = directory ? shred_directory_async(path.c_str(), options.method, options.recursive)
                   : shred_file_async(path.c_str(), options.method);
  }
  if (id < 0) return Outcome::kFailed;

  ProgressLine bar(stderr);
  bool cancel_sent = false;
  const int64_t total = plan->bytes();
  int64_t shown = 0;  // never drawn backwards
  // The job's percent goes on telling of a file for a moment after it is gone (at 100), until the
  // next file's first write; until it starts again, it says nothing of the next file.
  int64_t followed = 0;
  bool restarted = true;
  const std::string name = console_path(path).filename().string();
  const int32_t status = follow_job(id, &cancel_sent, [&](bool) {
    if (show_bar) {
      const int64_t share = std::clamp(shred_progress(id), 0, 100);
      std::vector<std::string> details;
      if (directory) {
        plan->follow();
        if (plan->passed_files() != followed) {
          followed = plan->passed_files();
          restarted = false;
        }
        restarted = restarted || share < 100;
        const int64_t running = restarted ? plan->next_size() * share / 100 : 0;
        shown = std::max(shown, plan->passed_bytes() + running);
        const std::string at = std::to_string(std::min(plan->passed_files() + 1, plan->files()));
        const std::string of = std::to_string(plan->files());
        details = {"file " + at + " of " + of, at + "/" + of};
      } else {
        shown = std::max(shown, total * share / 100);
        details = {name};
      }
      // A tree of empty files has no bytes to count; its files tell how far it is.
      const int64_t percent = total > 0           ? shown * 100 / total
                              : plan->files() > 0 ? plan->passed_files() * 100 / plan->files()
                                                  : share;
      bar.draw(static_cast<int>(percent), shown * passes, total * passes, details);
    }
  });
  if (show_bar && status == SHRED_JOB_SUCCEEDED) {
    bar.draw(100, total * passes, total * passes, {directory ? std::string("done") : name});
    std::fprintf(stderr, "\n");
  } else {
    bar.clear();
  }
  return outcome_of(status, cancel_sent);
}

void report_cancel(const std::string& path, bool directory, const Options& options) {
  const TreeCount left = count_files(path, options.recursive);
  if (directory) {
    std::fprintf(stderr,
                 "kelvarin-shred: %s: cancelled; %" PRId64 " file%s (%s) left in the tree\n",
                 path.c_str(), left.files, left.files == 1 ? "" : "s",
                 human_bytes(static_cast<double>(left.bytes)).c_str());
  } else if (left.files == 1) {
    std::fprintf(stderr,
                 "kelvarin-shred: %s: cancelled; the file is left under its name at full length "
                 "(%s), partly overwritten\n",
                 path.c_str(), human_bytes(static_cast<double>(left.bytes)).c_str());
  } else {
    std::fprintf(stderr, "kelvarin-shred: %s: cancelled after the file was destroyed\n",
                 path.c_str());
  }
}

// Runs -n on a thread of its own: the library has no job for a caller's pass count, and its
// synchronous call cannot be cancelled, so the main thread keeps listening for Ctrl-C and ends
// the process at once when it comes. That leaves the file as a cancelled job leaves it, under its
// name at full length and partly overwritten, unless its last pass was already written.
Outcome run_custom(const std::string& path, int passes) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(console_path(path), ec);
  std::atomic<int> result{0};  // 1 succeeded, -1 failed
  std::thread worker;
  {
    const ConsoleInterruptHold hold;  // the worker leaves interrupts to this thread
    worker = std::thread([&result, &path, passes] {
      result = shred_file_custom(path.c_str(), passes) == 0 ? 1 : -1;
    });
  }
  while (result == 0) {
    if (console_interrupted()) {
      // The worker keeps running while this is said, so it tells what was seen a moment ago.
      const uintmax_t now = fs::file_size(console_path(path), ec);
      if (ec) {
        std::fprintf(stderr, "kelvarin-shred: %s: interrupted after the file was destroyed\n",
                     path.c_str());
      } else if (now == size) {
        std::fprintf(stderr,
                     "kelvarin-shred: %s: interrupted; the file is left under its name at full "
                     "length (%s), partly overwritten\n",
                     path.c_str(), human_bytes(static_cast<double>(now)).c_str());
      } else {
        std::fprintf(stderr,
                     "kelvarin-shred: %s: interrupted after its last pass; the file is left "
                     "under its name, emptied\n",
                     path.c_str());
      }
      std::fflush(nullptr);
      std::_Exit(kExitInterrupted);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  return result == 1 ? Outcome::kSucceeded : Outcome::kFailed;
}

// A path's storage assessment, as the library writes it, and the parts the command acts on.
struct Assessment {
  bool ok = false;                                           // the library could assess the path
  std::string json;                                          // the whole document
  std::string in_place;                                      // "yes", "no" or "unknown"
  std::vector<std::pair<std::string, std::string>> reasons;  // code, detail
};

// The value of the string member that starts at `from` ("name":"value"); the library's own
// values hold no escapes.
std::string member_at(const std::string& json, size_t from, const char* name, size_t* end) {
  const std::string key = std::string("\"") + name + "\":\"";
  const size_t start = json.find(key, from);
  if (start == std::string::npos) return *end = std::string::npos, "";
  const size_t value = start + key.size();
  *end = json.find('"', value);
  return *end == std::string::npos ? "" : json.substr(value, *end - value);
}

Assessment assess(const std::string& path) {
  Assessment a;
  const int32_t length = shred_assess(path.c_str(), nullptr, 0);
  if (length < 0) return a;
  std::string buffer(static_cast<size_t>(length) + 1, '\0');
  if (shred_assess(path.c_str(), buffer.data(), length + 1) != length) return a;
  buffer.resize(static_cast<size_t>(length));
  a.ok = true;
  a.json = buffer;
  // The path comes first and is escaped, so the members searched for after it cannot be faked
  // by a file name.
  size_t at = buffer.find("\"filesystem\":");
  a.in_place = member_at(buffer, at, "in_place", &at);
  while (at != std::string::npos) {
    std::string code = member_at(buffer, at, "code", &at);
    if (at == std::string::npos) break;
    std::string detail = member_at(buffer, at, "detail", &at);
    a.reasons.emplace_back(std::move(code), std::move(detail));
  }
  return a;
}

// The reasons that make a path's overwrite doubtful, joined for one line.
std::string doubtful_codes(const Assessment& a) {
  std::string codes;
  for (const auto& [code, detail] : a.reasons) {
    if (code == "memory" && a.in_place == "yes") continue;
    codes += (codes.empty() ? "" : ", ") + code;
  }
  return codes.empty() ? "the file system is not one the library knows" : codes;
}

int run_assess(const Options& options) {
  int exit_code = kExitOk;
  for (const std::string& path : options.paths) {
    const Assessment a = assess(path);
    if (!a.ok) {
      print_failure(path);
      exit_code = kExitFailed;
      continue;
    }
    if (options.json) {
      std::printf("%s\n", a.json.c_str());
      continue;
    }
    std::printf("%s: overwritten in place: %s\n", path.c_str(), a.in_place.c_str());
    for (const auto& [code, detail] : a.reasons) {
      std::printf("  %s: %s\n", code.c_str(), detail.c_str());
    }
  }
  return exit_code;
}

std::string plural(int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool still_there(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(console_path(path), ec));
}

// Why a directory kept a name: the usual reason is that the caller may not change it.
std::string why_not_removed(const std::string& path) {
  fs::path parent = console_path(path).parent_path();
  if (parent.empty()) parent = ".";
  std::string denied = console_write_denied(parent.string());
  if (!denied.empty()) return denied;
  return "the directory refused the rename and the deletion, or another program replaced the "
         "name";
}

// What became of a directory given with -d once its files were shredded: the library removes it
// when that left it empty, and otherwise it stays with what it still holds.
std::string what_became_of(const std::string& path) {
  if (!still_there(path)) return "the directory was removed";
  int64_t directories = 0, others = 0;
  std::error_code ec;
  for (fs::directory_iterator it(console_path(path), ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code err;
    ++(fs::is_directory(it->symlink_status(err)) && !console_is_link(*it) ? directories : others);
  }
  if (directories + others == 0) return "the directory is kept, now empty";
  std::string kept = "the directory is kept, with ";
  if (directories > 0) kept += plural(directories, "subdirectory", "subdirectories");
  if (directories > 0 && others > 0) kept += " and ";
  if (others > 0) kept += plural(others, "other entry", "other entries");
  return kept;
}

// What the command makes of a path once its job has ended. The library reports a file as
// destroyed once its contents are gone, even when its directory then refused the rename and the
// deletion, and a tree as shredded even when its top directory could not be removed; a user
// asked for the names to be gone too, so the command counts either as a failure of its own.
struct Verdict {
  Outcome outcome = Outcome::kFailed;
  bool destroyed = false;  // the library reported the contents gone; its statistics tell of them
  std::string reason;      // the command's reason for a failure the library did not report
};

Verdict judge(const std::string& path, Outcome outcome, bool directory, const Options& options) {
  Verdict verdict;
  verdict.outcome = outcome;
  verdict.destroyed = outcome == Outcome::kSucceeded;
  if (verdict.destroyed && (!directory || options.recursive) && still_there(path)) {
    verdict.outcome = Outcome::kFailed;
    verdict.reason =
        std::string(directory ? "its files were shredded, but the directory was not removed"
                              : "overwritten but not removed") +
        ": " + why_not_removed(path);
  }
  return verdict;
}

void report_result(const std::string& path, const Verdict& verdict, bool directory,
                   const Options& options, const Assessment& storage, const TreePlan& plan) {
  const bool ok = verdict.outcome == Outcome::kSucceeded;
  if (options.json) {
    // The library's text is process-wide and a job's success leaves an earlier failure in it,
    // so a success carries no error at all, and the command's own reason goes before it.
    const std::string error = ok                       ? "null"
                              : verdict.reason.empty() ? json_string(shred_last_error())
                                                       : json_string(verdict.reason);
    std::string where;
    if (directory) {
      where = std::string(",\"directory\":\"") + (still_there(path) ? "kept" : "removed") + "\"";
    }
    std::printf("{\"path\":%s,\"result\":\"%s\",\"stats\":%s,\"assessment\":%s,\"error\":%s%s}\n",
                json_string(path).c_str(), outcome_name(verdict.outcome),
                verdict.destroyed ? shred_stats_json() : "null",
                storage.ok ? storage.json.c_str() : "null", error.c_str(), where.c_str());
  } else if (ok && options.verbose) {
    const char* method =
        shred_method_name(options.passes != 0 ? SHRED_METHOD_CUSTOM : options.method);
    if (directory) {
      // The library's statistics describe the last file only; the tree's figures are the
      // command's own count from before the job.
      const std::string passes = plural(shred_method_passes(options.method), "pass", "passes");
      const std::string size = human_bytes(static_cast<double>(plan.bytes()));
      if (options.recursive) {
        std::printf("%s: shredded (%s): %s, %s, overwritten in %s each\n", path.c_str(), method,
                    plural(plan.files(), "file", "files").c_str(), size.c_str(), passes.c_str());
      } else {
        std::printf("%s: %s shredded (%s): %s, overwritten in %s each; %s\n", path.c_str(),
                    plural(plan.files(), "file", "files").c_str(), method, size.c_str(),
                    passes.c_str(), what_became_of(path).c_str());
      }
    } else {
      long long files = 0, bytes = 0, passes = 0, ms = 0;
      std::sscanf(shred_stats_json(),
                  "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
                  "\"duration_ms\":%lld}",
                  &files, &bytes, &passes, &ms);
      std::printf("%s: shredded (%s): %lld bytes overwritten in %s, %lld ms\n", path.c_str(),
                  method, bytes, plural(passes, "pass", "passes").c_str(), ms);
    }
  }
  std::fflush(stdout);
  if (verdict.outcome != Outcome::kFailed) return;
  if (verdict.reason.empty()) {
    print_failure(path);
  } else {
    std::fprintf(stderr, "kelvarin-shred: %s: %s\n", path.c_str(), verdict.reason.c_str());
  }
}

int run_verify(const Options& options) {
  int exit_code = kExitOk;
  for (const std::string& path : options.paths) {
    std::error_code ec;
    const bool readable = fs::is_regular_file(console_path(path), ec);
    const int32_t looks_overwritten = readable ? shred_verify(path.c_str()) : 0;
    if (!readable) {
      std::fprintf(stderr, "kelvarin-shred: %s: not a readable file\n", path.c_str());
      exit_code = kExitFailed;
    } else if (looks_overwritten == 0) {
      exit_code = kExitFailed;
    }
    if (options.json) {
      std::printf("{\"path\":%s,\"checked\":%s,\"looks_overwritten\":%s}\n",
                  json_string(path).c_str(), readable ? "true" : "false",
                  looks_overwritten ? "true" : "false");
    } else if (readable) {
      std::printf("%s: %s\n", path.c_str(),
                  looks_overwritten ? "looks overwritten" : "does not look overwritten");
    }
  }
  return exit_code;
}

// Fills the free space of the file system that holds the directory as a job, following it with
// the progress line; Ctrl-C cancels it, and the job removes its fill before it ends.
int run_free_space(const Options& options) {
  console_catch_interrupts();
  const std::string& dir = options.free_space;
  const bool show_bar = !options.quiet && !options.json && console_is_terminal(stderr);
  std::error_code ec;
  const std::filesystem::space_info space = fs::space(console_path(dir), ec);
  const int64_t passes = shred_method_passes(options.method);
  const int64_t total = ec ? 0 : static_cast<int64_t>(space.available) * passes;
  int32_t id = -1;
  {
    const ConsoleInterruptHold hold;  // the job's worker leaves interrupts to this thread
    id = shred_free_space_async(dir.c_str(), options.method);
  }
  Outcome outcome = Outcome::kFailed;
  if (id >= 0) {
    ProgressLine bar(stderr);
    bool cancel_sent = false;
    const int32_t status = follow_job(id, &cancel_sent, [&](bool cancelled) {
      if (!show_bar) return;
      const int64_t percent = std::clamp(shred_progress(id), 0, 100);
      bar.draw(static_cast<int>(percent), total * percent / 100, total,
               {cancelled ? std::string("removing the fill") : "free space of " + dir,
                cancelled ? std::string("removing") : std::string("free space")});
    });
    bar.clear();
    outcome = outcome_of(status, cancel_sent);
  }
  const bool ok = outcome == Outcome::kSucceeded;
  if (options.json) {
    std::printf("{\"path\":%s,\"result\":\"%s\",\"stats\":%s,\"error\":%s}\n",
                json_string(dir).c_str(), outcome_name(outcome), ok ? shred_stats_json() : "null",
                ok ? "null" : json_string(shred_last_error()).c_str());
  } else if (ok && !options.quiet) {
    long long files = 0, bytes = 0, done = 0, ms = 0, wiped = 0, unreached = 0;
    std::sscanf(shred_stats_json(),
                "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
                "\"duration_ms\":%lld,\"free_space_wiped\":%lld,\"free_space_unreached\":%lld}",
                &files, &bytes, &done, &ms, &wiped, &unreached);
    std::printf("%s: free space wiped (%s): %s in %s", dir.c_str(),
                shred_method_name(options.method), human_bytes(static_cast<double>(wiped)).c_str(),
                plural(done, "pass", "passes").c_str());
    if (unreached > 0) {
      std::printf(", %s not reached", human_bytes(static_cast<double>(unreached)).c_str());
    }
    if (options.verbose) std::printf(", %lld bytes written, %lld ms", bytes, ms);
    std::printf("\n");
  }
  std::fflush(stdout);
  if (outcome == Outcome::kCancelled) {
    const std::string message = shred_last_error();
    if (message.find("could not remove") != std::string::npos) {
      print_failure(dir);
      return kExitFailed;
    }
    std::fprintf(stderr, "kelvarin-shred: %s: cancelled; the fill was removed\n", dir.c_str());
    return kExitInterrupted;
  }
  if (!ok) print_failure(dir);
  return ok ? kExitOk : kExitFailed;
}

int run_shred(const Options& options) {
  console_catch_interrupts();

  const bool show_bar = !options.quiet && !options.json && console_is_terminal(stderr);
  int exit_code = kExitOk;
  std::set<std::string> warned;  // the storage warnings said so far
  for (const std::string& path : options.paths) {
    if (console_interrupted()) {
      // Ctrl-C between two paths, while nothing was running.
      std::fprintf(stderr,
                   "kelvarin-shred: interrupted; %s and the paths after it were not touched\n",
                   path.c_str());
      return kExitInterrupted;
    }
    std::error_code ec;
    const bool directory = fs::is_directory(fs::symlink_status(console_path(path), ec));
    if (directory && !options.recursive && !options.flat) {
      std::fprintf(stderr, "kelvarin-shred: %s: is a directory (use -r or -d)\n", path.c_str());
      exit_code = kExitFailed;
      continue;
    }
    const Assessment storage = assess(path);
    if (storage.ok && storage.in_place != "yes") {
      if (options.strict) {
        std::fprintf(stderr,
                     "kelvarin-shred: %s: refused: overwriting may not reach the old data here "
                     "(%s; see --assess)\n",
                     path.c_str(), doubtful_codes(storage).c_str());
        exit_code = kExitFailed;
        continue;
      }
      // -q asks for results and errors only. Otherwise each distinct warning is said once per
      // run: a tree of a thousand files on one file system needs it said once.
      if (!options.quiet) {
        for (const auto& [code, detail] : storage.reasons) {
          if ((code == "memory" && storage.in_place == "yes") || !warned.insert(code).second) {
            continue;
          }
          std::fprintf(stderr, "kelvarin-shred: warning: %s: %s (%s)\n", path.c_str(),
                       detail.c_str(), code.c_str());
        }
        const bool reachable_by_wipe =
            std::any_of(storage.reasons.begin(), storage.reasons.end(), [](const auto& reason) {
              return reason.first == "copy_on_write" || reason.first == "journaled_data";
            });
        if (reachable_by_wipe && warned.insert("free-space hint").second) {
          std::fprintf(stderr,
                       "kelvarin-shred: hint: after shredding, 'kelvarin-shred --free-space DIR' "
                       "overwrites what the file system left in its free space\n");
        }
        if (storage.reasons.empty() && warned.insert("unknown").second) {
          std::fprintf(stderr,
                       "kelvarin-shred: warning: %s: the file system is not one the library "
                       "knows; whether overwriting reaches the old data cannot be told\n",
                       path.c_str());
        }
      }
    }
    // Walked once, before the job, and only when something will be said about its files.
    TreePlan plan;
    if (options.passes == 0 && (show_bar || (directory && options.verbose && !options.json))) {
      plan = TreePlan(path, options.recursive);
    }
    const Outcome outcome = options.passes != 0
                                ? run_custom(path, options.passes)
                                : run_job(path, directory, options, show_bar, &plan);
    const Verdict verdict = judge(path, outcome, directory, options);
    report_result(path, verdict, directory, options, storage, plan);
    if (verdict.outcome == Outcome::kCancelled) {
      report_cancel(path, directory, options);
      return kExitInterrupted;
    }
    if (verdict.outcome != Outcome::kSucceeded) exit_code = kExitFailed;
  }
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  if (!console_init(&argc, &argv)) return kExitUsage;
  Options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed != kExitOk) return parsed;
  if (options.list_methods) {
    list_methods();
    return kExitOk;
  }
  if (options.verify) return run_verify(options);
  if (options.assess) return run_assess(options);
  if (shred_init() != 0) {
    std::fprintf(stderr, "kelvarin-shred: %s\n", shred_last_error());
    return kExitFailed;
  }
  const int exit_code = options.free_space.empty() ? run_shred(options) : run_free_space(options);
  shred_cleanup();
  return exit_code;
}
