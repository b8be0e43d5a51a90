#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "device/platform/platform.h"

namespace quill {

// Where the command line runs: its streams, the platform it reaches the device
// through, and the source of interrupt requests (Ctrl-C).
struct TCliEnv {
  std::ostream* Out = nullptr;
  std::ostream* Err = nullptr;
  TPlatform* Platform = nullptr;
  bool OutIsTerminal = false;
  // Called once with the routine to run on an interrupt request; the routine
  // may be called from any thread. Null when interrupts are not wired.
  std::function<void(std::function<void()>)> WatchInterrupts;
};

// Exit statuses of the command line.
constexpr int kExitOk = 0;
constexpr int kExitItemsFailed = 1;
constexpr int kExitUsage = 2;

// Runs "list", "export" or "devices" with the arguments after the program name.
int RunCli(const std::vector<std::string>& args, TCliEnv& env);

}  // namespace quill
