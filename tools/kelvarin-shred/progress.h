// The progress line the command draws on a terminal while a job runs.
#ifndef KELVARIN_SHRED_TOOLS_PROGRESS_H
#define KELVARIN_SHRED_TOOLS_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One progress line on a terminal stream, redrawn in place and wiped when done.
class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* out);

  // Redraws: the bar and the percent, bytes done of the total, the rate of bytes since the start,
  // and a detail text. `details` are ways of saying the same thing, longest first; the first that
  // fits the terminal is shown, or none. Nothing is cut inside a word: on a narrow terminal the
  // rate, then the byte counter, then the bar are left out whole.
  void draw(int percent, int64_t bytes_done, int64_t bytes_total,
            const std::vector<std::string>& details);

  // Leaves the line empty, so that what is printed next starts on a clean line.
  void clear();

 private:
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
  bool drawn_ = false;
};

// "12.3 MiB", "512 B": sizes as people read them.
std::string human_bytes(double bytes);

#endif  // KELVARIN_SHRED_TOOLS_PROGRESS_H
