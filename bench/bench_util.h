#pragma once

// Timing and reporting shared by the benchmarks of scripts/bench. Every
// measured target is printed as one tab-separated ROW line that the script
// gathers into its table.

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace quill::bench {

// CPU seconds of the calling thread (user and system): the time it spent on
// one core, which the other work on a shared machine does not inflate.
inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The spread of a set of measurements as (max - min) / median, in percent.
inline double SpreadPercent(const std::vector<double>& values) {
  if (values.empty()) return 0;
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  const double median = Median(values);
  return median > 0 ? (*hi - *lo) / median * 100.0 : 0;
}

// One row of the table: the target, the measured value, the anchor measured
// in the same run (or the fixed limit), their ratio, and whether it is met.
inline void Row(const std::string& target, const std::string& measured, const std::string& anchor,
                double ratio, bool met, const std::string& note = {}) {
  std::printf("ROW\t%s\t%s\t%s\t%.3g\t%s\t%s\n", target.c_str(), measured.c_str(), anchor.c_str(),
              ratio, met ? "met" : "NOT met", note.c_str());
  std::fflush(stdout);
}

inline std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Runs a program (no shell), its output discarded; answers its exit status
// and adds its CPU seconds (user and system, all its threads) and the wall
// seconds it took.
inline int RunTimed(const std::vector<std::string>& args, double& cpu, double& wall) {
  const double start = WallSeconds();
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<std::string> storage(args);
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
  }
  wall += WallSeconds() - start;
  cpu += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether a program can be found on PATH.
inline bool OnPath(const std::string& name) {
  double cpu = 0, wall = 0;
  return RunTimed({"sh", "-c", "command -v " + name}, cpu, wall) == 0;
}

}  // namespace quill::bench
