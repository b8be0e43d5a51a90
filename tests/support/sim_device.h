#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quill::testing {

// Drives the simulated mobile device library (libquillsimdevice.so): writes
// its configuration file, points the binding at it, and reaches its controls.
class TSimDevice {
public:
  // The library the process's binding loads; set before any TIosHelper.
  static void UseForProcess(const std::string& libraryPath);
  // Writes the configuration (the folder line first, then lines) to
  // configPath and names it in QUILL_SIMDEVICE_CONFIG.
  static void Configure(const std::string& configPath, const std::string& folder,
                        const std::vector<std::string>& lines);
  // Fires the next "signal" event of the library loaded from libraryPath.
  static void Signal(const std::string& libraryPath);
  // The service name bytes AMDeviceStartService received last.
  static std::vector<unsigned char> LastServiceRecord(const std::string& libraryPath);
  // Sets the script of hostile answers (empty: honest again).
  static void Hostile(const std::string& libraryPath, const std::vector<std::uint8_t>& script);
  // How many answers took a byte of the script since it was set.
  static std::size_t HostileUsed(const std::string& libraryPath);
  static unsigned OpenFiles(const std::string& libraryPath);
};

// Connection events as an owner receives them, from any thread.
class TConnectionEvents {
public:
  void Add(bool connected);
  // Waits until count events have come; false on timeout.
  bool WaitFor(std::size_t count, int milliseconds = 5000);
  std::vector<bool> Events();

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> events_;
};

}  // namespace quill::testing
