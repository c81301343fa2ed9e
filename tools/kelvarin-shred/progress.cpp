// Drawing the progress line: a fixed-width bar and figures, fitted to the terminal's width so the
// line never wraps (a wrapped line cannot be redrawn in place).
#include "progress.h"

#include <algorithm>

#include "console.h"

namespace {

int terminal_columns(std::FILE* out) {
  const int columns = console_columns(out);
  return columns > 0 ? columns : 80;
}

// The parts in the order they are given up when space runs short: the detail (its shorter forms
// first), the rate, the byte counter, the bar. The percent always stays.
std::string fit_line(const std::string& bar, const std::string& percent, const std::string& bytes,
                     const std::string& rate, const std::vector<std::string>& details,
                     size_t width) {
  std::string line = bar + percent + bytes + rate;
  for (const std::string& detail : details) {
    if (!detail.empty() && line.size() + 2 + detail.size() <= width) {
      return line.append("  ").append(detail);
    }
  }
  const std::string shorter[] = {bar + percent + bytes, bar + percent, percent};
  if (line.size() <= width) return line;
  for (const std::string& candidate : shorter) {
    if (candidate.size() <= width) return candidate;
  }
  return "";
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
                        const std::vector<std::string>& details) {
  percent = std::clamp(percent, 0, 100);
  constexpr int kBarWidth = 24;
  const int filled = percent * kBarWidth / 100;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0.0 ? static_cast<double>(bytes_done) / seconds : 0.0;

  const std::string bar =
      "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
  char figure[32];
  std::snprintf(figure, sizeof figure, "%3d%%", percent);
  const std::string bytes = "  " + human_bytes(static_cast<double>(bytes_done)) + " / " +
                            human_bytes(static_cast<double>(bytes_total));
  const std::string per_second = "  " + human_bytes(rate) + "/s";
  // The last column stays free: some terminals wrap as soon as it is written.
  const size_t width = static_cast<size_t>(std::max(terminal_columns(out_) - 1, 0));
  const std::string line = fit_line(bar, figure, bytes, per_second, details, width);
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
