#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/memory_stream.h"

namespace quill {

// Access to an iOS device over the AFC file service. This build carries no
// mobile device library binding yet: LibraryLoaded is false, nothing is
// subscribed and every file operation fails with LastError set, exactly as on
// a computer without the library.
class TIosHelper {
public:
  using TOwnerEvent = std::function<void(bool connected)>;

  TIosHelper(int bufferMiB, TOwnerEvent owner);
  virtual ~TIosHelper() = default;

  virtual bool LibraryLoaded() const { return false; }
  // Subscribes to device notifications unless skipSubscribe, then allocates
  // the copy buffer.
  virtual void Start(bool skipSubscribe);
  virtual bool Subscribed() const { return false; }
  std::size_t BufferSize() const { return buffer_.size(); }
  const std::string& LastError() const { return last_error_; }

  virtual bool CopyToStream(const std::string& devicePath, TMemoryStream& stream);
  virtual bool CopyToFile(const std::string& devicePath, const std::string& localPath);
  virtual bool PathExists(const std::string& devicePath);
  virtual bool OpenFile(const std::string& devicePath);
  virtual bool ReadAt(std::size_t size, std::uint8_t* buffer, std::uint64_t offset);
  virtual void CloseFile();
  virtual std::uint64_t GetFileSize(const std::string& devicePath);
  virtual void ListFiles(const std::string& folder, std::vector<std::string>& names);

protected:
  void SetLastError(std::string text) { last_error_ = std::move(text); }
  TOwnerEvent owner_;
  std::size_t buffer_bytes_;
  std::vector<std::uint8_t> buffer_;

private:
  std::string last_error_;
};

}  // namespace quill
