// clang-format off
#include <windows.h>
#include <shellapi.h>
#include <io.h>
// clang-format on
// windows.h names DeleteFile as a macro; the platform has a member of that name.
#undef DeleteFile

#include <cstdio>
#include <mutex>

#include "cli/console.h"
#include "device/platform/platform_win.h"

namespace quill {

namespace {

// The console calls its control handler on a thread of its own; the handler
// reaches the watcher through this slot.
std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void()>& Handler() {
  static std::function<void()> handler;
  return handler;
}

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard lock(HandlerMutex());
  if (!Handler()) return FALSE;
  Handler()();
  return TRUE;
}

class TWinConsole final : public TConsole {
public:
  TWinConsole() {
    // Album names and paths are printed as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
  }
  ~TWinConsole() override {
    SetConsoleCtrlHandler(&OnControl, FALSE);
    std::lock_guard lock(HandlerMutex());
    Handler() = nullptr;
  }
  void Watch(std::function<void()> onInterrupt) override {
    {
      std::lock_guard lock(HandlerMutex());
      Handler() = std::move(onInterrupt);
    }
    SetConsoleCtrlHandler(&OnControl, TRUE);
  }
};

}  // namespace

std::unique_ptr<TConsole> CreateConsole() { return std::make_unique<TWinConsole>(); }

std::vector<std::string> CommandLineArguments(int, char**) {
  // argv is in the ANSI code page; the wide command line has every name.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (!wide) return args;
  for (int i = 1; i < count; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace quill
