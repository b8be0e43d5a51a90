#include <iostream>

#include "cli/cli.h"
#include "cli/console.h"
#include "support/sqlite_database.h"

int main(int argc, char** argv) {
  const quill::TSQLiteLibrary sqlite;
  const auto console = quill::CreateConsole();
  auto platform = quill::CreateNativePlatform();
  quill::TCliEnv env;
  env.Out = &std::cout;
  env.Err = &std::cerr;
  env.Platform = platform.get();
  env.OutIsTerminal = quill::OutputIsTerminal();
  env.WatchInterrupts = [&console](std::function<void()> onInterrupt) {
    console->Watch(std::move(onInterrupt));
  };
  const int status = quill::RunCli(quill::CommandLineArguments(argc, argv), env);
  std::cout.flush();
  return status;
}
