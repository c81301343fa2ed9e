// Drawing the progress line: a fixed-width bar and figures, cut to the terminal's width so the
// line never wraps (a wrapped line cannot be redrawn in place).
#include "progress.h"

#include <algorithm>

#include "console.h"

namespace {

int terminal_columns(std::FILE* out) {
  const int columns = console_columns(out);
  return columns > 0 ? columns : 80;
}

}  // namespace

std::string human_bytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 4) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

ProgressLine::ProgressLine(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::draw(int percent, int64_t bytes_done, int64_t bytes_total,
                        const std::string& detail) {
  percent = std::clamp(percent, 0, 100);
  constexpr int kBarWidth = 24;
  const int filled = percent * kBarWidth / 100;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0.0 ? static_cast<double>(bytes_done) / seconds : 0.0;

  std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
  char figures[160];
  std::snprintf(figures, sizeof figures, " %3d%%  %s / %s  %s/s", percent,
                human_bytes(static_cast<double>(bytes_done)).c_str(),
                human_bytes(static_cast<double>(bytes_total)).c_str(), human_bytes(rate).c_str());
  line += figures;
  if (!detail.empty()) line += "  " + detail;
  const size_t width = static_cast<size_t>(terminal_columns(out_) - 1);
  if (line.size() > width) line.resize(width);
  std::fprintf(out_, "\r%s\033[K", line.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressLine::clear() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}
