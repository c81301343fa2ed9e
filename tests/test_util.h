// Small helpers the file and directory suites share: a private temporary directory, whole-file
// reads and writes, and the statistics document's numbers.
#ifndef KELVARIN_SHRED_TESTS_TEST_UTIL_H
#define KELVARIN_SHRED_TESTS_TEST_UTIL_H

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kelvarin_shred.h"
#include "platform/test_seams.h"

namespace test_util {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("kelvarin-test-" + std::to_string(rd()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const fs::path& path() const { return path_; }
  // The path of `name` inside the directory, as a narrow string for the C interface.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string operator/(const std::string& name) const { return file(name); }

 private:
  fs::path path_;
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void write_file(const std::string& path, const std::string& text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Deterministic, recognisable content: no run of it looks like any overwrite pattern.
inline std::vector<uint8_t> sample_content(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> data(size);
  std::mt19937 gen(seed);
  for (auto& b : data) b = static_cast<uint8_t>('a' + gen() % 26);
  return data;
}

// The Windows build runs under Wine; some tests cannot be set up there and say so.
inline bool on_windows() { return fs::path::preferred_separator == '\\'; }

struct Stats {
  long long files = -1, bytes = -1, passes = -1, duration = -1;
};

inline Stats current_stats() {
  Stats s;
  std::sscanf(shred_stats_json(),
              "{\"files_shredded\":%lld,\"bytes_overwritten\":%lld,\"passes_completed\":%lld,"
              "\"duration_ms\":%lld}",
              &s.files, &s.bytes, &s.passes, &s.duration);
  return s;
}

// Names in a directory, for checking that nothing but the expected entries is left.
inline std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    names.push_back(e.path().filename().string());
  return names;
}

// Polls a job until it leaves the running state: its final status, or SHRED_JOB_RUNNING when it
// did not end within `limit`.
inline int32_t wait_for_job(int32_t id, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const int32_t status = shred_is_complete(id);
    if (status != SHRED_JOB_RUNNING) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return SHRED_JOB_RUNNING;
}

// The entry points a path can be handed to, for suites that try one path with each of them.
enum class Call { kRecursive, kFlat, kFile, kJob };

inline const char* CallName(Call call) {
  switch (call) {
    case Call::kRecursive:
      return "shred_directory_recursive";
    case Call::kFlat:
      return "shred_directory";
    case Call::kFile:
      return "shred_file";
    case Call::kJob:
      return "shred_directory_async";
  }
  return "?";
}

struct Outcome {
  int32_t result;
  std::string message;
};

// One call as a caller makes it. A job counts as -1 when its submission was refused or the job
// failed, and as -2 when it did not end within `limit` (it is then cancelled).
inline Outcome RunCall(Call call, const std::string& path, int32_t method = SHRED_METHOD_QUICK,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
  Outcome out{-1, ""};
  switch (call) {
    case Call::kRecursive:
      out.result = shred_directory_recursive(path.c_str(), method);
      break;
    case Call::kFlat:
      out.result = shred_directory(path.c_str(), method);
      break;
    case Call::kFile:
      out.result = shred_file(path.c_str(), method);
      break;
    case Call::kJob: {
      const int32_t id = shred_directory_async(path.c_str(), method, 1);
      if (id <= 0) break;
      const int32_t status = wait_for_job(id, limit);
      if (status == SHRED_JOB_RUNNING) shred_cancel(id);
      out.result = status == SHRED_JOB_SUCCEEDED ? 0 : status == SHRED_JOB_FAILED ? -1 : -2;
      break;
    }
  }
  out.message = shred_last_error();
  return out;
}

// Holds every file write of the test build at its start (the write gate of test_seams.h) until
// released, and releases it on every exit path, so that a failed check cannot leave later
// tests' writes blocked.
class WriteHold {
 public:
  WriteHold() { os_test_hold_writes(true); }
  ~WriteHold() { release(); }
  WriteHold(const WriteHold&) = delete;
  WriteHold& operator=(const WriteHold&) = delete;
  void release() {
    if (held_) os_test_hold_writes(false);
    held_ = false;
  }

 private:
  bool held_ = true;
};

// Makes random names take their raw bytes from `bytes` (see test_seams.h) for as long as it
// lives, so that a test knows the names the engine will try.
class ForcedNameBytes {
 public:
  explicit ForcedNameBytes(const std::vector<uint8_t>& bytes) {
    os_test_force_name_bytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  ~ForcedNameBytes() { os_test_force_name_bytes(nullptr, 0); }
  ForcedNameBytes(const ForcedNameBytes&) = delete;
  ForcedNameBytes& operator=(const ForcedNameBytes&) = delete;
  // How many of the bytes names have used so far.
  uint64_t used() const { return os_test_name_bytes_used(); }
};

}  // namespace test_util

#endif  // KELVARIN_SHRED_TESTS_TEST_UTIL_H
