#include "device/ios_helper.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "device/platform/platform.h"
#include "support/text.h"

namespace quill {

namespace {

constexpr const char* kNotLoaded = "The mobile device library is not loaded.";
constexpr const char* kNotConnected = "The iOS device is not connected.";
constexpr std::size_t kFallbackBufferBytes = 0x80000;
constexpr std::uint64_t kReadOnlyMode = 2;

// The one helper the library's notifications reach. The mutex is held while
// a notification is handled, so that the helper cannot go away under it.
std::mutex g_instance_mutex;
TIosHelper* g_instance = nullptr;

std::string Code(std::int32_t code) { return std::to_string(static_cast<std::uint32_t>(code)); }

}  // namespace

TIosHelper::TIosHelper(int bufferMiB, TOwnerEvent owner)
    : TIosHelper(bufferMiB, std::move(owner), MobileDeviceBinding()) {}

TIosHelper::TIosHelper(int bufferMiB, TOwnerEvent owner, TMobileDeviceBinding& binding)
    : owner_(std::move(owner)),
      buffer_bytes_(bufferMiB > 0 ? static_cast<std::size_t>(bufferMiB) << 20 : 0),
      binding_(binding),
      api_(binding.Api()) {
  library_loaded_ = binding_.Load();
}

TIosHelper::~TIosHelper() {
  {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    if (g_instance == this) g_instance = nullptr;
  }
  if (subscribed_) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    buffer_ = {};
    CloseFile();
    CloseAfc();
  }
}

void TIosHelper::SetLastError(std::string text) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  last_error_ = std::move(text);
}

std::string TIosHelper::LastError() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return last_error_;
}

std::size_t TIosHelper::BufferSize() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return buffer_.size();
}

bool TIosHelper::AfcOpen() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return afc_open_;
}

void TIosHelper::Start(bool skipSubscribe) {
  if (!skipSubscribe) subscribed_ = Subscribe();
  SetBufferSize(buffer_bytes_);
}

bool TIosHelper::Subscribe() {
  if (!library_loaded_) {
    SetLastError(kNotLoaded);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    g_instance = this;
  }
  // Not under the instance lock: a library may deliver its first
  // notification before the call returns.
  void* notification = nullptr;
  const std::int32_t code = api_.AMDeviceNotificationSubscribe(&TIosHelper::DeviceNotification, 0,
                                                               0, nullptr, &notification);
  if (code != 0) {
    SetLastError("Subscribes error: " + Code(code));
    return false;
  }
  return true;
}

void TIosHelper::DeviceNotification(TAmDeviceNotification* info, void*) {
  if (!info) return;
  std::lock_guard<std::mutex> lock(g_instance_mutex);
  if (g_instance) g_instance->HandleNotification(*info);
}

void TIosHelper::HandleNotification(const TAmDeviceNotification& info) {
  bool connected = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (info.Message == kAmDeviceConnected) {
      device_ = info.Device;
      connected = ConnectDevice(device_);
    } else {
      // The connection died with the device: closing it now makes later
      // operations fail with a plain message instead of the codes of a dead
      // connection. It counts as closed whatever the library answers.
      CloseFile();
      if (afc_open_) api_.AFCConnectionClose(afc_);
      afc_open_ = false;
      afc_ = nullptr;
      session_open_ = false;
      device_ = nullptr;
      disconnected_ = true;
    }
  }
  if (info.Message != kAmDeviceConnected) {
    if (owner_) owner_(false);
  } else if (connected && owner_) {
    owner_(true);
  }
}

bool TIosHelper::ConnectDevice(void* device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::int32_t code = api_.AMDeviceConnect(device);
  if (code != 0) {
    last_error_ = "Connect failed: " + Code(code);
    return false;
  }
  if (api_.AMDeviceIsPaired(device) == 0) {
    code = api_.AMDevicePair(device);
    if (code != 0) {
      last_error_ = "Pair failed: " + Code(code) + " (Run iTunes to pair the device)";
      return false;
    }
  } else if (api_.AMDeviceValidatePairing(device) != 0) {
    code = api_.AMDevicePair(device);
    if (code != 0) {
      last_error_ = "Invalid pair: " + Code(code) + " (Run iTunes to pair the device)";
      return false;
    }
  }
  session_open_ = true;
  code = api_.AMDeviceStartSession(device);
  if (code != 0) {
    last_error_ = "Cannot start session: " + Code(code);
    return false;
  }
  void* service = nullptr;
  code = binding_.StartService(device, "com.apple.afc", &service);
  if (code != 0) {
    last_error_ = "Cannot start AFC service: " + Code(code);
    return false;
  }
  EndSession(device);
  // A connection of an earlier arrival is replaced, not leaked.
  if (afc_open_) {
    CloseFile();
    api_.AFCConnectionClose(afc_);
    afc_open_ = false;
  }
  void* connection = nullptr;
  code = api_.AFCConnectionOpen(service, 0, &connection);
  if (code != 0) {
    last_error_ = "Open AFC error: " + Code(code);
    return false;
  }
  afc_ = connection;
  afc_open_ = true;
  disconnected_ = false;
  return true;
}

void TIosHelper::EndSession(void* device) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  api_.AMDeviceStopSession(device);
  api_.AMDeviceDisconnect(device);
  session_open_ = false;
}

bool TIosHelper::CloseAfc() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (session_open_) {
    EndSession(device_);
    session_open_ = false;
    device_ = nullptr;
  }
  if (afc_open_) {
    const std::int32_t code = api_.AFCConnectionClose(afc_);
    if (code != 0) {
      last_error_ = "Close AFC error: " + Code(code);
      return false;
    }
    afc_open_ = false;
    afc_ = nullptr;
  }
  return true;
}

void TIosHelper::SetBufferSize(std::size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (size == buffer_.size()) return;
  buffer_ = {};
  if (size == 0) return;
  try {
    buffer_.resize(size);
  } catch (const std::bad_alloc&) {
    try {
      buffer_.resize(kFallbackBufferBytes);
    } catch (const std::bad_alloc&) {
      buffer_ = {};
    }
  } catch (const std::length_error&) {
    buffer_ = {};
  }
}

// Whether file operations can reach a device; sets LastError when not.
bool TIosHelper::Usable() {
  if (!library_loaded_) {
    last_error_ = kNotLoaded;
    return false;
  }
  if (!afc_open_) {
    last_error_ = kNotConnected;
    return false;
  }
  return true;
}

bool TIosHelper::PathExists(const std::string& devicePath) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!afc_open_) return false;
  void* info = nullptr;
  if (api_.AFCFileInfoOpen(afc_, devicePath.c_str(), &info) != 0) return false;
  if (info) api_.AFCKeyValueClose(info);
  return true;
}

bool TIosHelper::StatFile(const std::string& devicePath, TFileStat& stat, bool sizeOnly) {
  stat = TFileStat{};
  if (!afc_open_) return false;
  void* info = nullptr;
  if (api_.AFCFileInfoOpen(afc_, devicePath.c_str(), &info) != 0) return false;
  auto number = [](const char* v) -> std::optional<std::uint64_t> {
    std::uint64_t value = 0;
    const std::string_view text = v;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && end == text.data() + text.size()) return value;
    return std::nullopt;
  };
  // Bounded by the answer's own pairs: a device that never ends them stops
  // at a count no real file reaches.
  for (int pairs = 0; info && pairs < 256; ++pairs) {
    const char* k = nullptr;
    const char* v = nullptr;
    if (api_.AFCKeyValueRead(info, &k, &v) != 0 || !k || !v) break;
    if (EqualsNoCase(k, "ST_SIZE")) {
      stat.Size = number(v);
      if (sizeOnly) break;
    } else if (EqualsNoCase(k, "ST_MTIME")) {
      // Nanoseconds since 1970.
      if (const auto ns = number(v)) stat.Modified = static_cast<std::int64_t>(*ns / 1000000000u);
    } else if (EqualsNoCase(k, "ST_IFMT")) {
      stat.Regular = EqualsNoCase(v, "S_IFREG");
      stat.Folder = EqualsNoCase(v, "S_IFDIR");
    }
  }
  if (info) api_.AFCKeyValueClose(info);
  return true;
}

std::optional<std::int64_t> TIosHelper::GetFileModified(const std::string& devicePath) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  TFileStat stat;
  if (!StatFile(devicePath, stat, false)) return std::nullopt;
  return stat.Modified;
}

bool TIosHelper::CopyLoop(const std::string& devicePath, const TSink& sink, TSizeRule rule,
                          bool* changed) {
  if (changed) *changed = false;
  if (!Usable()) return false;
  TFileStat before;
  if (!StatFile(devicePath, before, true)) {
    last_error_ = "Not found: " + devicePath;
    return false;
  }
  const std::optional<std::uint64_t> stated = before.Size;
  if (!stated) {
    // Only the stated size tells a whole copy from one the device ended
    // early; every device states it, so one that does not is not trusted.
    last_error_ = "Read error: the device states no size for " + devicePath;
    return false;
  }
  if (buffer_.empty()) {
    // Without a buffer nothing could be read: that is no copy.
    last_error_ = "Internal - out of Memory";
    return false;
  }
  // A file that may grow while it is read (a live library's log) is read to
  // its end, but not without bound: a device that never ends its answer
  // stops here.
  const std::uint64_t limit =
      rule == TSizeRule::Strict ? *stated : *stated + (std::uint64_t{1} << 32);
  std::uint64_t file = 0;
  std::int32_t code = api_.AFCFileRefOpen(afc_, devicePath.c_str(), kReadOnlyMode, &file);
  if (code != 0) {
    last_error_ = "Open error: " + Code(code);
    return false;
  }
  bool ok = true;
  std::uint64_t total = 0;
  try {
    // The file ends with a read of 0 bytes: a library may answer fewer bytes
    // than asked in mid-file, and taking that for the end would cut the copy.
    for (;;) {
      const auto asked =
          static_cast<std::uint32_t>(std::min<std::size_t>(buffer_.size(), UINT32_MAX));
      auto length = asked;
      code = api_.AFCFileRefRead(afc_, file, buffer_.data(), &length);
      if (code != 0) {
        last_error_ = "Read error: " + Code(code);
        ok = false;
        break;
      }
      // More than was asked for cannot have been read: taking it would copy
      // stale buffer bytes into the file.
      if (length > asked) {
        last_error_ = "Read error: the device answered more bytes than were asked for";
        ok = false;
        break;
      }
      if (length == 0) break;
      total += length;
      // Bytes beyond the size the device states for the file are not its
      // bytes: a lying or endless answer stops here, not at a full disk.
      if (total > limit) {
        if (rule == TSizeRule::Strict) break;
        last_error_ = "Read error: " + devicePath + " does not end";
        ok = false;
        break;
      }
      if (const int error = sink(std::span<const std::uint8_t>(buffer_.data(), length));
          error != 0) {
        last_error_ = "Write error " + std::to_string(error);
        sink_error_ = error;
        ok = false;
        break;
      }
    }
    if (ok && rule == TSizeRule::Strict && total != *stated) {
      last_error_ = "Read error: " + std::to_string(total) + " bytes read of a file of " +
                    std::to_string(*stated);
      ok = false;
    }
  } catch (const std::exception&) {
    last_error_ = "Exp! " + std::to_string(LastSystemError());
    ok = false;
  }
  api_.AFCFileRefClose(afc_, file);
  if (ok && changed) {
    TFileStat after;
    *changed = total != *stated || !StatFile(devicePath, after, true) || after.Size != stated;
  }
  return ok;
}

bool TIosHelper::CopyToStream(const std::string& devicePath, TMemoryStream& stream) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return CopyLoop(
      devicePath,
      [&](std::span<const std::uint8_t> bytes) {
        stream.Write(bytes.data(), bytes.size());
        return 0;
      },
      TSizeRule::Strict, nullptr);
}

bool TIosHelper::CopyToSink(const std::string& devicePath, const TSink& sink, TSizeRule rule,
                            bool* changed, int* sinkError) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  sink_error_ = 0;
  const bool ok = CopyLoop(devicePath, sink, rule, changed);
  if (sinkError) *sinkError = sink_error_;
  return ok;
}

bool TIosHelper::CopyToFile(const std::string& devicePath, const std::string& localPath) {
  namespace fs = std::filesystem;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string temporary = localPath + ".~ip-part";
  bool ok = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      last_error_ = "Cannot create " + temporary;
      return false;
    }
    ok = CopyLoop(
        devicePath,
        [&](std::span<const std::uint8_t> bytes) {
          out.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
          // A failed write ends the copy as an exception does: "Exp!" with
          // the system's code (a full disk).
          if (!out) throw std::runtime_error("write failed");
          return 0;
        },
        TSizeRule::Strict, nullptr);
    out.close();
    if (ok && out.fail()) {
      last_error_ = "Cannot write " + temporary;
      ok = false;
    }
  }
  std::error_code ec;
  if (ok) {
    fs::rename(temporary, localPath, ec);
    if (!ec) return true;
    last_error_ = "Cannot rename " + temporary + " to " + localPath + ": " + ec.message();
  }
  fs::remove(temporary, ec);
  return false;
}

bool TIosHelper::OpenFile(const std::string& devicePath) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!Usable()) return false;
  if (!PathExists(devicePath)) {
    last_error_ = "Not found";
    return false;
  }
  CloseFile();
  const std::int32_t code =
      api_.AFCFileRefOpen(afc_, devicePath.c_str(), kReadOnlyMode, &file_ref_);
  if (code != 0) {
    last_error_ = "Open err: " + Code(code);
    return false;
  }
  file_open_ = true;
  return true;
}

bool TIosHelper::ReadAt(std::size_t size, std::uint8_t* buffer, std::uint64_t offset) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!Usable()) return false;
  if (!file_open_) {
    last_error_ = "No file is open";
    return false;
  }
  std::int32_t code = api_.AFCFileRefSeek(afc_, file_ref_, static_cast<std::int64_t>(offset), 0);
  if (code != 0) {
    last_error_ = "Seek Err: " + Code(code);
    return false;
  }
  // The caller uses all size bytes: they are read to the last one, or the
  // read fails.
  std::size_t done = 0;
  while (done < size) {
    const auto asked = static_cast<std::uint32_t>(std::min<std::size_t>(size - done, UINT32_MAX));
    auto length = asked;
    code = api_.AFCFileRefRead(afc_, file_ref_, buffer + done, &length);
    if (code != 0) {
      last_error_ = "Read Err: " + Code(code);
      return false;
    }
    if (length > asked) {
      last_error_ = "Read Err: the device answered more bytes than were asked for";
      return false;
    }
    if (length == 0) {
      last_error_ = "Read Err: the file ends before the record";
      return false;
    }
    done += length;
  }
  return true;
}

void TIosHelper::CloseFile() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (file_open_ && afc_open_) api_.AFCFileRefClose(afc_, file_ref_);
  file_open_ = false;
  file_ref_ = 0;
}

bool TIosHelper::GetFileInfoValue(const std::string& devicePath, const std::string& key,
                                  std::string& value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!afc_open_) return false;
  void* info = nullptr;
  if (api_.AFCFileInfoOpen(afc_, devicePath.c_str(), &info) != 0 || !info) return false;
  bool found = false;
  for (;;) {
    const char* k = nullptr;
    const char* v = nullptr;
    if (api_.AFCKeyValueRead(info, &k, &v) != 0 || !k || !v) break;
    if (EqualsNoCase(k, key)) {
      value = v;
      found = true;
      break;
    }
  }
  api_.AFCKeyValueClose(info);
  return found;
}

int TIosHelper::GetFileKind(const std::string& devicePath) {
  std::string value;
  if (!GetFileInfoValue(devicePath, "ST_IFMT", value)) return 3;
  if (EqualsNoCase(value, "S_IFDIR")) return 1;
  if (EqualsNoCase(value, "S_IFREG")) return 0;
  return 2;
}

std::uint64_t TIosHelper::GetFileSize(const std::string& devicePath) {
  std::string value;
  if (!GetFileInfoValue(devicePath, "ST_SIZE", value)) return 0;
  std::uint64_t size = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), size);
  return ec == std::errc() && end == value.data() + value.size() ? size : 0;
}

void TIosHelper::ListFiles(const std::string& folder, std::vector<std::string>& names) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ListEntries(folder, TListKind::RegularFiles, names);
}

void TIosHelper::ListEntries(const std::string& folder, TListKind kind,
                             std::vector<std::string>& names) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!Usable()) return;
  void* directory = nullptr;
  if (api_.AFCDirectoryOpen(afc_, folder.c_str(), &directory) != 0) {
    last_error_ = "Path not found: " + folder;
    return;
  }
  for (;;) {
    char* name = nullptr;
    if (api_.AFCDirectoryRead(afc_, directory, &name) != 0 || !name) break;
    const std::string entry = name;
    if (entry == "." || entry == ".." || entry.empty()) continue;
    switch (kind) {
      case TListKind::AnyEntry:
        names.push_back(entry);
        break;
      case TListKind::RegularFiles:
        if (GetFileKind(folder + entry) == 0) names.push_back(entry);
        break;
      case TListKind::Folders:
        if (GetFileKind(folder + entry) == 1) names.push_back(entry);
        break;
    }
  }
  api_.AFCDirectoryClose(afc_, directory);
}

}  // namespace quill
