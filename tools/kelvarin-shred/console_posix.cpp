// The command's seam on POSIX systems: arguments are bytes and pass through, an interrupt is any
// signal that would end the process, the terminal is whatever isatty and TIOCGWINSZ say.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "console.h"

namespace {

// Signals may land on any thread, the library's workers included, while the main thread polls:
// a lock-free atomic is safe both in a handler and across threads (a volatile sig_atomic_t is
// only the former).
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_interrupt(int) { g_interrupted.store(1); }

// The signals console_catch_interrupts took, for console_hold_interrupts.
sigset_t g_caught;

}  // namespace

bool console_init(int*, char***) { return true; }

void console_catch_interrupts() {
  // Every signal whose default action ends the process would leave a job half done: a closed
  // terminal or SSH session (SIGHUP), a reader gone from a pipe (SIGPIPE), a CPU or file-size
  // limit, a timer. Left to the kernel are those that report a fault of the program itself
  // (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS) and SIGABRT, after which there is nothing
  // sound to go on with, and SIGKILL, which cannot be caught.
  static const int kEnding[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGPIPE,
                                SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                SIGXCPU, SIGXFSZ, SIGPOLL, SIGPWR,    SIGSTKFLT};
  sigemptyset(&g_caught);
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  const auto take = [&action](int signal_number) {
    // A signal the caller chose to ignore (nohup's SIGHUP, a pipeline's SIGPIPE) stays ignored:
    // it would not have ended the command. Ctrl-C and SIGTERM are taken whatever came before, as
    // they always were (a script's background job starts with SIGINT ignored).
    struct sigaction previous {};
    if (signal_number != SIGINT && signal_number != SIGTERM &&
        (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)) {
      return;
    }
    if (sigaction(signal_number, &action, nullptr) == 0) sigaddset(&g_caught, signal_number);
  };
  for (const int signal_number : kEnding) take(signal_number);
  // The real-time signals the C library leaves to programs end a process by default too.
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    take(signal_number);
  }
}

bool console_interrupted() { return g_interrupted.load() != 0; }

void console_hold_interrupts(bool hold) {
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &g_caught, nullptr);
}

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
