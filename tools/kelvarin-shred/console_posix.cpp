// The command's seam on POSIX systems: arguments are bytes and pass through, interrupts are
// SIGINT and SIGTERM, the terminal is whatever isatty and TIOCGWINSZ say.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

}  // namespace

bool console_init(int*, char***) { return true; }

void console_catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool console_interrupted() { return g_interrupted != 0; }

bool console_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int console_columns(std::FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0) return size.ws_col;
  return 0;
}

bool console_is_link(const std::filesystem::directory_entry& entry) {
  std::error_code ec;
  return entry.is_symlink(ec);
}

std::filesystem::path console_path(const std::string& path) { return path; }

std::string console_write_denied(const std::string& directory) {
  if (access(directory.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return "";
}

std::string console_error_text(unsigned long code) { return std::strerror(static_cast<int>(code)); }
