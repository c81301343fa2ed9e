// kelvarin-shred: the library's command-line front end. It uses the library exactly as any other
// program would, through the exported functions of the public header: every path runs as a job
// that the command follows (and cancels on Ctrl-C), and every message comes from the library.
#include <getopt.h>

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

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

struct Options {
  shred_method method = SHRED_METHOD_DOD_3PASS;
  bool method_given = false;
  int passes = 0;  // custom passes; 0 when not asked for
  bool recursive = false;
  bool flat = false;
  bool verify = false;
  bool assess = false;
  bool strict = false;
  bool list_methods = false;
  bool verbose = false;
  bool json = false;
  bool quiet = false;
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
      "Overwrite files so that their contents cannot be read back, then delete them.\n"
      "\n"
      "  -m, --method NAME   quick, dod3, dod7 or gutmann (default dod3)\n"
      "  -n, --passes N      a custom number of passes, 1 to 100 (files only)\n"
      "  -r, --recursive     shred directories and everything below them\n"
      "  -d, --dir           shred the files directly inside directories\n"
      "      --verify        check whether each PATH looks overwritten; shreds nothing\n"
      "      --assess        tell whether overwriting can reach each PATH's old data;\n"
      "                      shreds nothing\n"
      "      --strict        refuse a PATH where overwriting cannot reach the old data\n"
      "      --list-methods  list the overwrite methods and their passes\n"
      "  -v, --verbose       print each path and its statistics\n"
      "      --json          print one JSON object per path\n"
      "  -q, --quiet         print nothing but results and errors\n"
      "  -h, --help          show this help\n"
      "      --version       show the version\n"
      "\n"
      "Links are never followed. Ctrl-C cancels the running job; the file being\n"
      "overwritten is then left under its own name at full length. With -n the file\n"
      "in progress is finished first, and no further path is started.\n"
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
  enum { kVerify = 256, kListMethods, kJson, kVersion, kAssess, kStrict };
  static const option kLong[] = {{"method", required_argument, nullptr, 'm'},
                                 {"passes", required_argument, nullptr, 'n'},
                                 {"recursive", no_argument, nullptr, 'r'},
                                 {"dir", no_argument, nullptr, 'd'},
                                 {"verify", no_argument, nullptr, kVerify},
                                 {"assess", no_argument, nullptr, kAssess},
                                 {"strict", no_argument, nullptr, kStrict},
                                 {"list-methods", no_argument, nullptr, kListMethods},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"json", no_argument, nullptr, kJson},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, kVersion},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":m:n:rdvqh", kLong, nullptr)) != -1) {
    switch (c) {
      case 'm': {
        bool known = false;
        for (const MethodName& m : kMethods) {
          if (std::strcmp(optarg, m.name) == 0) {
            options->method = m.method;
            known = true;
          }
        }
        if (!known) return usage_error("unknown method '%s' (see --list-methods)", optarg);
        options->method_given = true;
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
  if (options->paths.empty()) return usage_error("%s", "missing PATH");
  if (options->recursive && options->flat) return usage_error("%s", "-r and -d exclude each other");
  if (options->passes != 0 && options->method_given) {
    return usage_error("%s", "-n chooses a custom method; it cannot be combined with -m");
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
  std::printf("%-8s %-24s 1 to %d passes (-n N)\n", "custom",
              shred_method_name(SHRED_METHOD_CUSTOM), SHRED_MAX_CUSTOM_PASSES);
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char ch : text) {
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (ch < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", ch);
          out += escaped;
        } else {
          out += static_cast<char>(ch);  // paths are bytes; we pass them through as they are
        }
    }
  }
  return out + "\"";
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

// Runs one path as a job and follows it to its end, drawing progress when asked to.
Outcome run_job(const std::string& path, bool directory, const Options& options, bool show_bar) {
  const int passes = shred_method_passes(options.method);
  const TreeCount before = count_files(console_path(path), options.recursive);
  const int32_t id = directory
                         ? shred_directory_async(path.c_str(), options.method, options.recursive)
                         : shred_file_async(path.c_str(), options.method);
  if (id < 0) return Outcome::kFailed;

  ProgressLine bar(stderr);
  bool cancel_sent = false;
  auto last_count = std::chrono::steady_clock::now();
  TreeCount left = before;
  int32_t status;
  while ((status = shred_is_complete(id)) == SHRED_JOB_RUNNING) {
    if (console_interrupted() && !cancel_sent) {
      shred_cancel(id);
      cancel_sent = true;
    }
    if (show_bar) {
      const int percent = shred_progress(id);
      if (directory) {
        // A directory job reports the percent of the file in progress; the files already
        // gone tell how far the walk is.
        if (std::chrono::steady_clock::now() - last_count > std::chrono::milliseconds(500)) {
          left = count_files(console_path(path), options.recursive);
          last_count = std::chrono::steady_clock::now();
        }
        const int64_t done_files = before.files - left.files;
        char detail[96];
        std::snprintf(detail, sizeof detail, "file %" PRId64 " of %" PRId64 " at %d%%",
                      std::min(done_files + 1, before.files), before.files, percent);
        const int overall =
            before.files > 0 ? static_cast<int>(done_files * 100 / before.files) : 0;
        bar.draw(overall, (before.bytes - left.bytes) * passes, before.bytes * passes, detail);
      } else {
        bar.draw(percent, before.bytes * passes * percent / 100, before.bytes * passes,
                 console_path(path).filename().string());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (show_bar && status == SHRED_JOB_SUCCEEDED) {
    bar.draw(100, before.bytes * passes, before.bytes * passes,
             directory ? "done" : console_path(path).filename().string());
    std::fprintf(stderr, "\n");
  } else {
    bar.clear();
  }
  if (cancel_sent) return Outcome::kCancelled;
  return status == SHRED_JOB_SUCCEEDED ? Outcome::kSucceeded : Outcome::kFailed;
}

void report_cancel(const std::string& path, bool directory, const Options& options) {
  const TreeCount left = count_files(console_path(path), options.recursive);
  if (directory) {
    std::fprintf(stderr,
                 "kelvarin-shred: %s: cancelled; %" PRId64 " file(s), %s, left in the tree\n",
                 path.c_str(), left.files, human_bytes(static_cast<double>(left.bytes)).c_str());
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
      std::fprintf(stderr, "kelvarin-shred: %s: %s\n", path.c_str(), shred_last_error());
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

void report_result(const std::string& path, Outcome outcome, const Options& options,
                   const Assessment& storage) {
  if (options.json) {
    const bool ok = outcome == Outcome::kSucceeded;
    std::printf("{\"path\":%s,\"result\":\"%s\",\"stats\":%s,\"assessment\":%s,\"error\":%s}\n",
                json_string(path).c_str(), outcome_name(outcome), ok ? shred_stats_json() : "null",
                storage.ok ? storage.json.c_str() : "null",
                // The library's text is process-wide and a job's success leaves an earlier
                // failure in it, so a success speaks for itself.
                json_string(ok ? "No error" : shred_last_error()).c_str());
  } else if (outcome == Outcome::kSucceeded && options.verbose) {
    long long files = 0, bytes = 0, passes = 0, ms = 0;
    std::sscanf(shred_stats_json(),
                "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
                "\"duration_ms\":%lld}",
                &files, &bytes, &passes, &ms);
    std::printf("%s: shredded (%s); last file: %lld bytes overwritten in %lld passes, %lld ms\n",
                path.c_str(), options.passes != 0 ? "custom" : shred_method_name(options.method),
                bytes, passes, ms);
  }
  if (outcome == Outcome::kFailed) {
    std::fprintf(stderr, "kelvarin-shred: %s: %s\n", path.c_str(), shred_last_error());
  }
  std::fflush(stdout);
}

bool still_there(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(console_path(path), ec));
}

// Why a directory kept a name: the usual reason is that the caller may not change it.
std::string why_not_removed(const std::string& path) {
  fs::path parent = console_path(path).parent_path();
  if (parent.empty()) parent = ".";
  const std::string denied = console_write_denied(parent.string());
  if (!denied.empty()) return denied;
  return "the directory refused the rename and the deletion, or another program replaced the "
         "name";
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

int run_shred(const Options& options) {
  console_catch_interrupts();

  const bool show_bar = !options.quiet && !options.json && console_is_terminal(stderr);
  int exit_code = kExitOk;
  std::set<std::string> warned;  // the storage warnings said so far
  for (const std::string& path : options.paths) {
    if (console_interrupted()) {
      // Only reachable with -n: a synchronous run cannot be cancelled, so it was finished first.
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
      // Each distinct warning once per run: a tree of a thousand files on one file system
      // needs it said once.
      for (const auto& [code, detail] : storage.reasons) {
        if ((code == "memory" && storage.in_place == "yes") || !warned.insert(code).second) {
          continue;
        }
        std::fprintf(stderr, "kelvarin-shred: warning: %s: %s (%s)\n", path.c_str(), detail.c_str(),
                     code.c_str());
      }
      if (storage.reasons.empty() && warned.insert("unknown").second) {
        std::fprintf(stderr,
                     "kelvarin-shred: warning: %s: the file system is not one the library "
                     "knows; whether overwriting reaches the old data cannot be told\n",
                     path.c_str());
      }
    }
    Outcome outcome;
    if (options.passes != 0) {
      // A caller-chosen pass count runs synchronously: jobs take their count from the method.
      outcome = shred_file_custom(path.c_str(), options.passes) == 0 ? Outcome::kSucceeded
                                                                     : Outcome::kFailed;
    } else {
      outcome = run_job(path, directory, options, show_bar);
    }
    report_result(path, outcome, options, storage);
    if (outcome == Outcome::kSucceeded && !directory && still_there(path)) {
      // The library reports a file as shredded once its contents are gone, even when its
      // directory then refused the rename and the deletion; a user asked for it to be gone.
      std::fprintf(stderr, "kelvarin-shred: overwritten but not removed: %s (%s)\n", path.c_str(),
                   why_not_removed(path).c_str());
      exit_code = kExitFailed;
      continue;
    }
    if (outcome == Outcome::kCancelled) {
      report_cancel(path, directory, options);
      return kExitInterrupted;
    }
    if (outcome != Outcome::kSucceeded) exit_code = kExitFailed;
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
  const int exit_code = run_shred(options);
  shred_cleanup();
  return exit_code;
}
