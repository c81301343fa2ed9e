// The command's seam on Windows. The library takes paths in the process's ANSI code page (it calls
// the A functions), which the executable's manifest asks to be UTF-8; the arguments are read as
// UTF-16 from the command line and converted to that code page, so that a name outside the old
// code page reaches the library intact. Interrupts come through SetConsoleCtrlHandler, and the
// progress line needs a console that understands the VT erase sequence.
#include <io.h>
#include <windows.h>
// CommandLineToArgvW; after windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "console.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::atomic<bool> g_interrupted{false};

// The console state found at start, put back at exit: the console outlives the command and the
// shell that owns it should not inherit our code page or modes.
UINT g_original_output_cp = 0;
struct ConsoleStream {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD original_mode = 0;
  bool console = false;
  bool redraws = false;  // the VT erase sequence works on it
};
ConsoleStream g_streams[2];  // stdout, stderr

std::vector<std::string> g_arguments;
std::vector<char*> g_argv;

BOOL WINAPI on_control(DWORD type) {
  g_interrupted.store(true);
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Closing the window, logging off and shutting down end the process when this returns. Holding
  // the handler lets the main thread cancel its job first, so the file being overwritten is left
  // under its name; the process ends through main long before Windows gives up waiting.
  Sleep(10000);
  return TRUE;
}

HANDLE handle_of(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

const ConsoleStream* stream_state(std::FILE* stream) {
  if (stream == stdout) return &g_streams[0];
  if (stream == stderr) return &g_streams[1];
  return nullptr;
}

void restore_console() {
  for (const ConsoleStream& s : g_streams) {
    if (s.console) SetConsoleMode(s.handle, s.original_mode);
  }
  if (g_original_output_cp != 0) SetConsoleOutputCP(g_original_output_cp);
}

// One argument in the ANSI code page, refused when a character has no exact counterpart: a
// best-fit substitute ("e" for "é") could name another file.
bool to_ansi(const wchar_t* wide, std::string* out) {
  const UINT code_page = CP_ACP;
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL substituted = FALSE;
  BOOL* check = utf8 ? nullptr : &substituted;
  const int length = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, check);
  if (length <= 0 || substituted) return false;
  out->assign(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, flags, wide, -1, out->data(), length, nullptr, nullptr);
  out->resize(static_cast<size_t>(length) - 1);
  return true;
}

}  // namespace

bool console_init(int* argc, char*** argv) {
  const HANDLE handles[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
  bool any_console = false;
  for (int i = 0; i < 2; ++i) {
    ConsoleStream& s = g_streams[i];
    s.handle = handles[i];
    s.console = s.handle != INVALID_HANDLE_VALUE && s.handle != nullptr &&
                GetConsoleMode(s.handle, &s.original_mode) != 0;
    if (!s.console) continue;
    any_console = true;
    s.redraws = (s.original_mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                SetConsoleMode(s.handle, s.original_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  }
  if (any_console) {
    // Paths are printed as the library takes them, in the ANSI code page; the console shows
    // the OEM code page unless told otherwise.
    g_original_output_cp = GetConsoleOutputCP();
    SetConsoleOutputCP(GetACP());
  }
  std::atexit(restore_console);

  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return true;  // keep the C runtime's arguments
  g_arguments.resize(static_cast<size_t>(count));
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    if (!to_ansi(wide[i], &g_arguments[static_cast<size_t>(i)])) {
      std::fprintf(stderr,
                   "kelvarin-shred: argument %d holds a character that code page %u cannot "
                   "represent; the library could not name that path\n",
                   i, GetACP());
      ok = false;
    }
  }
  LocalFree(wide);
  if (!ok) return false;
  for (std::string& argument : g_arguments) g_argv.push_back(argument.data());
  g_argv.push_back(nullptr);
  *argc = count;
  *argv = g_argv.data();
  return true;
}

void console_catch_interrupts() { SetConsoleCtrlHandler(on_control, TRUE); }

bool console_interrupted() { return g_interrupted.load(); }

void console_hold_interrupts(bool) {}

bool console_is_terminal(std::FILE* stream) {
  const ConsoleStream* s = stream_state(stream);
  return s != nullptr && s->console && s->redraws;
}

int console_columns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(handle_of(stream), &info) == 0) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool console_is_link(const std::filesystem::directory_entry& entry) {
  // Junctions, symbolic links and the links Wine shows for Unix ones all carry the bit.
  const DWORD attributes = GetFileAttributesW(entry.path().c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::filesystem::path console_path(const std::string& path) {
  const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

std::string console_write_denied(const std::string&) {
  // Access to a directory is decided by its ACL, which no cheap check reads correctly.
  return "";
}

std::string console_error_text(unsigned long code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  // The system's messages end in a full stop and a line break, which a "path: reason" line
  // does not want.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == '.' || text[length - 1] == ' ')) {
    --length;
  }
  if (length == 0) return "error " + std::to_string(code);
  return std::string(text, length);
}
