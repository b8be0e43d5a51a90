#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quill::testing {

// A stand-in for the usbmuxd service and one device behind it, enough for
// libimobiledevice to reach a folder as the device's file system: usbmuxd's
// plist protocol on a UNIX socket (Listen, ListDevices, ReadPairRecord,
// ReadBUID, Connect), lockdownd (QueryType, GetValue, ValidatePair,
// StartSession and StartService without SSL, StopSession, Goodbye) and AFC
// (file information, folder listing, open, read, seek, tell, close). Nothing
// on the folder is ever changed; write requests are refused and counted.
class TFakeUsbmuxd {
public:
  static constexpr const char* kUdid = "0123456789abcdef0123456789abcdef01234567";

  // Serves folder on a socket at socketPath; answers reads with at most
  // maxReadAnswer bytes, as a device answers in pieces.
  TFakeUsbmuxd(std::string socketPath, std::string folder, std::uint32_t maxReadAnswer = 8000);
  ~TFakeUsbmuxd();
  TFakeUsbmuxd(const TFakeUsbmuxd&) = delete;
  TFakeUsbmuxd& operator=(const TFakeUsbmuxd&) = delete;

  // "UNIX:" + the socket path, for USBMUXD_SOCKET_ADDRESS.
  std::string Address() const { return "UNIX:" + socket_path_; }
  // Sends the device's removal to the listeners and drops its connections.
  void Detach();
  // AFC open modes asked for, and write requests refused.
  std::vector<std::uint64_t> OpenModes();
  int WriteRequests() const { return write_requests_; }

private:
  void Accept();
  void Serve(int fd);
  void ServeLockdown(int fd);
  void ServeAfc(int fd);
  void Track(int fd, bool listener);

  std::string socket_path_;
  std::string folder_;
  std::uint32_t max_read_;
  int listen_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> write_requests_{0};
  std::mutex mutex_;
  std::set<int> connections_;
  std::set<int> listeners_;
  std::vector<std::uint64_t> open_modes_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace quill::testing
