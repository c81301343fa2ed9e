// The command's own OS seam: its arguments, the terminal it draws on and Ctrl-C. CMake compiles
// console_posix.cpp or console_win32.cpp; the rest of the command is the same on both systems.
// The library's OS layer is not reused here: the command is a caller like any other.
#ifndef KELVARIN_SHRED_TOOLS_CONSOLE_H
#define KELVARIN_SHRED_TOOLS_CONSOLE_H

#include <cstdio>
#include <filesystem>
#include <string>

// Prepares the process before anything is parsed or printed. On Windows it replaces argc and argv
// with the command line in the encoding the library's paths use, and makes the console show what
// the command prints. Returns false, having printed why, when an argument cannot be represented
// (the command then stops with a usage error rather than act on a look-alike name).
bool console_init(int* argc, char*** argv);

// From now on, Ctrl-C and everything else that would end the process by default (on POSIX each
// such signal that can be caught and is not ignored, SIGHUP, SIGTERM, SIGQUIT and SIGPIPE among
// them; on Windows closing the console window, logging off and shutting down) only raises the
// flag below; the command polls it, cancels its job and exits as interrupted.
void console_catch_interrupts();

// True once an interrupt has arrived.
bool console_interrupted();

// While held, the interrupts wait on the calling thread instead of arriving: threads started
// meanwhile (a library job's worker, and the threads it starts in turn) inherit that, so every
// interrupt goes to the thread that polls for it, never to one inside the library's work. One
// that came meanwhile arrives when the hold ends. Nothing to do on Windows, where console events
// come on a thread of their own.
void console_hold_interrupts(bool hold);

// Holds the interrupts for the lifetime of a scope: around the start of a thread.
class ConsoleInterruptHold {
 public:
  ConsoleInterruptHold() { console_hold_interrupts(true); }
  ~ConsoleInterruptHold() { console_hold_interrupts(false); }
  ConsoleInterruptHold(const ConsoleInterruptHold&) = delete;
  ConsoleInterruptHold& operator=(const ConsoleInterruptHold&) = delete;
};

// True when `stream` is an interactive terminal that can redraw a line in place.
bool console_is_terminal(std::FILE* stream);

// The width of the terminal behind `stream` in columns, or 0 when it cannot be told.
int console_columns(std::FILE* stream);

// True when the entry is a link of any kind (on Windows, anything carrying the reparse bit).
// std::filesystem cannot be asked on Windows: there it reports what a link leads to.
bool console_is_link(const std::filesystem::directory_entry& entry);

// A path as the library takes it (the bytes of an argument), for std::filesystem.
std::filesystem::path console_path(const std::string& path);

// Why the caller may not add or remove names in `directory`, in words, or an empty text when
// nothing says so (including when this system cannot tell).
std::string console_write_denied(const std::string& directory);

// The system's own words for an error number the library reports: errno's text on POSIX, the
// system message of a Windows error code.
std::string console_error_text(unsigned long code);

#endif  // KELVARIN_SHRED_TOOLS_CONSOLE_H
