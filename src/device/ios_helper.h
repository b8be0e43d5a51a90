#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/mobile_device_binding.h"
#include "support/memory_stream.h"

namespace quill {

// Access to one iOS device over the AFC file service, through the mobile
// device library binding. Notifications arrive on the library's own thread:
// the connection sequence runs there and the owner event is called there
// (the owner hands it to its own thread). File operations run on the main
// and the transfer thread, taking turns; a lock keeps a disconnection from
// closing the connection under a running operation. Device paths are UTF-8.
//
// The owner must not destroy the helper from inside its own owner event.
class TIosHelper {
public:
  using TOwnerEvent = std::function<void(bool connected)>;

  // Loads the process's binding (or the one given) and keeps the owner event.
  TIosHelper(int bufferMiB, TOwnerEvent owner);
  TIosHelper(int bufferMiB, TOwnerEvent owner, TMobileDeviceBinding& binding);
  virtual ~TIosHelper();
  TIosHelper(const TIosHelper&) = delete;
  TIosHelper& operator=(const TIosHelper&) = delete;

  virtual bool LibraryLoaded() const { return library_loaded_; }
  // Subscribes to device notifications unless skipSubscribe, then allocates
  // the copy buffer.
  virtual void Start(bool skipSubscribe);
  virtual bool Subscribed() const { return subscribed_; }
  std::size_t BufferSize() const;
  std::string LastError() const;
  // Whether an AFC connection is open (a device is ready).
  bool AfcOpen() const;

  bool Subscribe();
  // The callback given to the library.
  static void DeviceNotification(TAmDeviceNotification* info, void* cookie);
  bool ConnectDevice(void* device);
  void EndSession(void* device);
  bool CloseAfc();
  void SetBufferSize(std::size_t size);

  // Receives a copy's bytes piece by piece: 0, or an error code that ends it.
  using TSink = std::function<int(std::span<const std::uint8_t> bytes)>;
  enum class TSizeRule {
    Strict,  // a copy whose byte count differs from the stated size fails
    ToEnd,   // read to the end whatever the stated size (a file being written)
  };
  enum class TListKind { RegularFiles, Folders, AnyEntry };

  // Copies read until the device answers 0 bytes; a copy whose byte count
  // differs from the size the device states for the file fails.
  virtual bool CopyToStream(const std::string& devicePath, TMemoryStream& stream);
  // Streams the file through the copy buffer into sink; nothing of it is held
  // beyond one buffer. changed (when given) tells whether the size the device
  // states moved while the file was read; sinkError the code the sink ended
  // the copy with (0 when it did not).
  virtual bool CopyToSink(const std::string& devicePath, const TSink& sink, TSizeRule rule,
                          bool* changed = nullptr, int* sinkError = nullptr);
  // The modification time the device states for a file (seconds since 1970).
  virtual std::optional<std::int64_t> GetFileModified(const std::string& devicePath);
  // Copies into localPath under a temporary name beside it, renamed onto
  // localPath only when complete; a failure leaves nothing.
  virtual bool CopyToFile(const std::string& devicePath, const std::string& localPath);
  virtual bool PathExists(const std::string& devicePath);
  virtual bool OpenFile(const std::string& devicePath);
  // Reads exactly size bytes at offset; a file that ends first is a failure.
  virtual bool ReadAt(std::size_t size, std::uint8_t* buffer, std::uint64_t offset);
  virtual void CloseFile();
  bool GetFileInfoValue(const std::string& devicePath, const std::string& key, std::string& value);
  // 0 regular file, 1 folder, 2 anything else, 3 no information.
  int GetFileKind(const std::string& devicePath);
  virtual std::uint64_t GetFileSize(const std::string& devicePath);
  // Appends the names of the folder's regular files (folder ends in "/").
  virtual void ListFiles(const std::string& folder, std::vector<std::string>& names);
  // Appends the names of the folder's entries of a kind; AnyEntry asks no
  // entry for its kind (one request for the whole folder).
  virtual void ListEntries(const std::string& folder, TListKind kind,
                           std::vector<std::string>& names);

protected:
  void SetLastError(std::string text);
  TOwnerEvent owner_;
  std::size_t buffer_bytes_;
  std::vector<std::uint8_t> buffer_;

private:
  void HandleNotification(const TAmDeviceNotification& info);
  bool Usable();
  // Whether the path exists; size is the size its information states, when
  // it states one that is a number.
  struct TFileStat {
    std::optional<std::uint64_t> Size;
    std::optional<std::int64_t> Modified;
    bool Regular = false;
    bool Folder = false;
  };
  // Whether the path exists, with what its information states.
  // sizeOnly: stops at the size (a copy needs nothing more).
  bool StatFile(const std::string& devicePath, TFileStat& stat, bool sizeOnly);
  bool CopyLoop(const std::string& devicePath, const TSink& sink, TSizeRule rule, bool* changed);
  int sink_error_ = 0;

  TMobileDeviceBinding& binding_;
  const TMobileDeviceApi& api_;
  // Guards the connection state, the buffer and LastError.
  mutable std::recursive_mutex mutex_;
  std::string last_error_;
  bool library_loaded_ = false;
  bool subscribed_ = false;
  void* device_ = nullptr;
  void* afc_ = nullptr;
  std::uint64_t file_ref_ = 0;
  bool file_open_ = false;
  bool session_open_ = false;
  bool afc_open_ = false;
  bool disconnected_ = false;  // the device left since the connection opened
};

}  // namespace quill
