#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quill {

// What the command line needs of the console, one half per platform: the
// arguments as UTF-8, whether the output is a terminal, and interrupts
// (Ctrl-C, a termination request) delivered as ordinary calls.
class TConsole {
public:
  virtual ~TConsole() = default;
  // Calls onInterrupt, on a thread of the console's own, for every interrupt
  // from now on until the console is destroyed.
  virtual void Watch(std::function<void()> onInterrupt) = 0;
};

// Set up before any other thread starts (POSIX blocks the signals in every
// thread from here on).
std::unique_ptr<TConsole> CreateConsole();
std::vector<std::string> CommandLineArguments(int argc, char** argv);
bool OutputIsTerminal();

}  // namespace quill
