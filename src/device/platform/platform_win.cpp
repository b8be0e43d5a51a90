#include "device/platform/platform.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <shlobj.h>
#include <winioctl.h>
// clang-format on
// windows.h names DeleteFile as a macro; the platform has a member of that name.
#undef DeleteFile

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "device/platform/platform_win.h"

namespace quill {

const int kErrorNameTaken = ERROR_FILE_EXISTS;
const int kErrorRetryOnce = ERROR_INVALID_PARAMETER;
const int kErrorUnsafeName = ERROR_INVALID_NAME;
const int kErrorAccessDenied = ERROR_ACCESS_DENIED;
const int kErrorRead = ERROR_READ_FAULT;
const int kErrorBadData = ERROR_INVALID_DATA;
const int kErrorFileTooLarge = ERROR_FILE_TOO_LARGE;

int LastSystemError() { return static_cast<int>(GetLastError()); }

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::string CutAtNul(const wchar_t* buffer, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && buffer[length] != L'\0') ++length;
  return Narrow(std::wstring_view(buffer, length));
}

std::string VolumeRoot(char letter) { return std::string(1, letter) + ":\\"; }

namespace {

class THandle {
public:
  explicit THandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~THandle() { Reset(); }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (Valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  // Closes and reports the error of the close itself.
  int Close() {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return 0;
    return CloseHandle(handle) ? 0 : static_cast<int>(GetLastError());
  }

private:
  HANDLE handle_;
};

int LastError() {
  const DWORD error = GetLastError();
  return error == 0 ? ERROR_GEN_FAILURE : static_cast<int>(error);
}

// The system's critical-error dialog stays away while an empty drive is
// looked at; the previous mode comes back on every path. The thread's own
// mode: the transfer thread and the window's thread test paths at once, and
// the process-wide mode could be left set by their interleaving.
class TQuietErrors {
public:
  TQuietErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_); }
  ~TQuietErrors() { SetThreadErrorMode(previous_, nullptr); }
  TQuietErrors(const TQuietErrors&) = delete;
  TQuietErrors& operator=(const TQuietErrors&) = delete;

private:
  DWORD previous_ = 0;
};

DWORD Attributes(const std::string& path) {
  TQuietErrors quiet;
  return GetFileAttributesW(Widen(path).c_str());
}

// Reads up to size bytes at offset, going on after partial reads; fewer bytes
// only at the end of the file. -1 with error set on failure.
std::int64_t ReadFully(HANDLE file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                       int& error) {
  std::size_t done = 0;
  while (done < size) {
    const std::uint64_t at = offset + done;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file, buffer + done, chunk, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      error = LastError();
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

int WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) return LastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    data += written;
    size -= written;
  }
  return 0;
}

class TWinReadOnlyFile final : public TReadOnlyFile {
public:
  explicit TWinReadOnlyFile(HANDLE handle) : handle_(handle) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    int error = 0;
    const std::int64_t n =
        ReadFully(handle_.Get(), offset, static_cast<std::uint8_t*>(buffer), size, error);
    if (n < 0) error_ = error;
    return n;
  }
  int Error() const override { return error_; }

private:
  THandle handle_;
  std::atomic<int> error_ = 0;
};

HANDLE OpenForReading(const std::string& path) {
  return CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ParentOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  if (cut == 2 && path.size() > 1 && path[1] == ':') return path.substr(0, 3);
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

std::string NearestExisting(std::string path) {
  for (int depth = 0; depth < 4096 && !path.empty(); ++depth) {
    if (Attributes(path) != INVALID_FILE_ATTRIBUTES) return path;
    const std::string parent = ParentOf(path);
    if (parent == path) break;
    path = parent;
  }
  return path;
}

std::string RandomSuffix() {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 random{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, "%08x%04x", static_cast<unsigned>(random()),
                counter.fetch_add(1) & 0xFFFFu);
  return text;
}

// A new file ".~ip*.tmp" beside dst, opened for writing.
int CreateTempBeside(const std::string& dst, std::string& tempPath, THandle& file) {
  const std::string folder = ParentOf(dst);
  for (int attempt = 0; attempt < 16; ++attempt) {
    tempPath = folder;
    if (tempPath.back() != '\\' && tempPath.back() != '/') tempPath += '\\';
    tempPath += ".~ip";
    tempPath += RandomSuffix();
    tempPath += ".tmp";
    file.Reset(CreateFileW(Widen(tempPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Valid()) return 0;
    const int error = LastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
  }
  return ERROR_FILE_EXISTS;
}

// Moves a complete temporary file onto its final name; the name of a new
// file is never taken over from another file.
int Publish(const std::string& temp, const std::string& dst, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(Widen(temp).c_str(), Widen(dst).c_str(), flags)) return 0;
  const int error = LastError();
  DeleteFileW(Widen(temp).c_str());
  // The copy's own answer for a name in use, as a copy without overwriting
  // gives it.
  return error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error;
}

// Sets a file's modification time to seconds since 1970 (UTC); a file system
// that keeps none is no failure.
void SetModified(HANDLE file, std::int64_t seconds) {
  // 100-nanosecond steps since 1601.
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SetFileTime(file, nullptr, &time, &time);
}

int WriteAtomically(const std::string& dst, bool replace, std::span<const std::uint8_t> bytes,
                    const TWriteOptions& options = {}) {
  if (!replace && Attributes(dst) != INVALID_FILE_ATTRIBUTES) return ERROR_FILE_EXISTS;
  std::string temp;
  THandle file;
  if (const int rc = CreateTempBeside(dst, temp, file); rc != 0) return rc;
  // No flush per file, as on POSIX: a photo costs one write, and the file
  // takes its name only once complete.
  int rc = WriteAll(file.Get(), bytes.data(), bytes.size());
  if (rc == 0 && options.Modified) SetModified(file.Get(), *options.Modified);
  const int closed = file.Close();
  if (rc == 0) rc = closed;
  if (rc != 0) {
    DeleteFileW(Widen(temp).c_str());
    return rc;
  }
  return Publish(temp, dst, replace);
}

// The devices the Win32 half talks to by control codes, behind one small
// interface so that tests can refuse a lock.
class TWin32Volumes final : public TVolumeControl {
public:
  void* Open(const std::string& drive, bool forWriting) override {
    const std::wstring name = Widen("\\\\.\\" + drive);
    const DWORD access = forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle =
        CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, forWriting ? 0 : FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }
  bool Control(void* volume, unsigned long code, const void* input,
               unsigned long inputSize) override {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, const_cast<void*>(input), inputSize, nullptr, 0, &returned,
                           nullptr) != 0;
  }
  void Close(void* volume) override { CloseHandle(volume); }
  unsigned DriveType(const std::string& root) override {
    TQuietErrors quiet;
    return GetDriveTypeW(Widen(root).c_str());
  }
};

class TWin32DeviceWindow final : public TDeviceWindow {
public:
  explicit TWin32DeviceWindow(THandler handler) : handler_(std::move(handler)) {
    static const wchar_t* const kClassName = L"QuillmereDeviceWindow";
    static std::once_flag registered;
    std::call_once(registered, [] {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &TWin32DeviceWindow::Procedure;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.lpszClassName = kClassName;
      RegisterClassExW(&windowClass);
    });
    // A top-level window that is never shown: volume broadcasts reach
    // top-level windows only, not message-only ones.
    window_ = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              GetModuleHandleW(nullptr), this);
  }
  ~TWin32DeviceWindow() override {
    if (notify_) UnregisterDeviceNotification(notify_);
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
  }

  void WatchVolume(const TMountEntry& volume) override {
    if (notify_) {
      UnregisterDeviceNotification(notify_);
      notify_ = nullptr;
    }
    if (!window_ || volume.MountPoint.empty()) return;
    const std::wstring name = Widen("\\\\.\\" + volume.MountPoint.substr(0, 2));
    THandle handle(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.Valid()) return;
    DEV_BROADCAST_HANDLE record{};
    record.dbch_size = sizeof record;
    record.dbch_devicetype = DBT_DEVTYP_HANDLE;
    record.dbch_handle = handle.Get();
    notify_ = RegisterDeviceNotificationW(window_, &record, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TWin32DeviceWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self) {
      const std::optional<std::intptr_t> result = self->handler_(DecodeDeviceChange(
          static_cast<std::uintptr_t>(wParam), reinterpret_cast<const void*>(lParam)));
      if (result) return static_cast<LRESULT>(*result);
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  THandler handler_;
  HWND window_ = nullptr;
  HDEVNOTIFY notify_ = nullptr;
};

class TWin32Platform final : public TPlatform {
public:
  explicit TWin32Platform(std::unique_ptr<TVolumeControl> volumes) : volumes_(std::move(volumes)) {}

  char Separator() const override { return '\\'; }

  std::vector<TMountEntry> ReadMounts() override {
    // Drives D: to Z: in letter order; A:, B: and C: are never the iPod.
    std::vector<TMountEntry> drives;
    const DWORD present = GetLogicalDrives();
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
      if (present & (DWORD{1} << (letter - 'A'))) drives.push_back(VolumeEntry(letter));
    }
    return drives;
  }

  bool IsRemovableMount(const TMountEntry& mount) override {
    if (mount.MountPoint.size() < 2 || mount.MountPoint[1] != ':') return false;
    return volumes_->DriveType(mount.MountPoint.substr(0, 2) + "\\") == DRIVE_REMOVABLE;
  }

  bool DirectoryExists(const std::string& path) override {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool FileExists(const std::string& path) override {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  std::optional<std::int64_t> FileModified(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) return {};
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {};
    // 100-nanosecond steps since 1601.
    const std::uint64_t ticks = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                data.ftLastWriteTime.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
  }

  std::optional<std::uint64_t> FileSize(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) return {};
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {};
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  }

  int ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) override {
    out.clear();
    THandle file(OpenForReading(path));
    if (!file.Valid()) return LastError();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return LastError();
    // The stated size is a hint; the read goes on to the real end.
    std::size_t capacity = static_cast<std::size_t>(
        std::min<LONGLONG>(size.QuadPart, std::numeric_limits<std::int32_t>::max()));
    out.resize(capacity + 1);
    std::size_t done = 0;
    for (;;) {
      if (done == out.size()) out.resize(out.size() * 2);
      int error = 0;
      const std::int64_t n =
          ReadFully(file.Get(), done, out.data() + done, out.size() - done, error);
      if (n < 0) {
        out.clear();
        return error;
      }
      done += static_cast<std::size_t>(n);
      if (done < out.size()) break;
    }
    out.resize(done);
    return 0;
  }

  std::unique_ptr<TReadOnlyFile> OpenReadOnly(const std::string& path, int& error) override {
    const HANDLE handle = OpenForReading(path);
    if (handle == INVALID_HANDLE_VALUE) {
      error = LastError();
      return nullptr;
    }
    return std::make_unique<TWinReadOnlyFile>(handle);
  }

  std::vector<TDirEntry> ListDirectory(const std::string& folder) override {
    std::vector<TDirEntry> entries;
    std::string pattern = folder;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(Widen(pattern).c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
      const std::wstring_view name(found.cFileName);
      if (name == L"." || name == L"..") continue;
      TDirEntry entry;
      entry.Name = Narrow(name);
      entry.IsDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.IsRegular = !entry.IsDirectory && !(found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
      entries.push_back(std::move(entry));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
  }

  using TPlatform::CopyFileNoOverwrite;
  // The user's own temporary folder is private on Windows; OwnerOnly adds
  // nothing there.
  int CopyFileNoOverwrite(const std::string& src, const std::string& dst,
                          const TWriteOptions& options) override {
    if (Attributes(dst) != INVALID_FILE_ATTRIBUTES) return ERROR_FILE_EXISTS;
    std::string temp;
    {
      THandle reserve;
      if (const int rc = CreateTempBeside(dst, temp, reserve); rc != 0) return rc;
    }
    // The system copy keeps the file's times and attributes; it goes onto the
    // reserved temporary name, never onto dst itself.
    if (!CopyFileW(Widen(src).c_str(), Widen(temp).c_str(), FALSE)) {
      const int error = LastError();
      DeleteFileW(Widen(temp).c_str());
      return error;
    }
    if (options.Modified) {
      THandle file(CreateFileW(Widen(temp).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file.Valid()) SetModified(file.Get(), *options.Modified);
    }
    return Publish(temp, dst, false);
  }

  int WriteStreamNoOverwrite(const std::string& dst, const TFill& fill,
                             const TWriteOptions& options) override {
    if (Attributes(dst) != INVALID_FILE_ATTRIBUTES) return ERROR_FILE_EXISTS;
    std::string temp;
    THandle file;
    if (const int rc = CreateTempBeside(dst, temp, file); rc != 0) return rc;
    int rc = fill([&file](std::span<const std::uint8_t> bytes) {
      return WriteAll(file.Get(), bytes.data(), bytes.size());
    });
    if (rc == 0 && options.Modified) SetModified(file.Get(), *options.Modified);
    const int closed = file.Close();
    if (rc == 0) rc = closed;
    if (rc != 0) {
      DeleteFileW(Widen(temp).c_str());
      return rc;
    }
    return Publish(temp, dst, false);
  }

  using TPlatform::WriteFileNoOverwrite;
  int WriteFileNoOverwrite(const std::string& dst, std::span<const std::uint8_t> bytes,
                           const TWriteOptions& options) override {
    return WriteAtomically(dst, false, bytes, options);
  }
  int WriteFileReplace(const std::string& dst, std::span<const std::uint8_t> bytes) override {
    return WriteAtomically(dst, true, bytes);
  }
  bool DeleteFile(const std::string& path) override { return DeleteFileW(Widen(path).c_str()); }

  bool CreateDirectories(const std::string& path) override {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(Widen(path)), ec);
    return DirectoryExists(path);
  }

  int FlushWritten(const std::string&, const std::vector<std::string>& files) override {
    // Flushing the whole volume needs an administrator; each file's own
    // buffers can be flushed by its writer.
    for (const std::string& path : files) {
      THandle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.Valid()) return LastError();
      if (!FlushFileBuffers(file.Get())) return LastError();
    }
    return 0;
  }

  int RemoveStaleTempFiles(const std::string& folder) override {
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(Widen(base + ".~ip*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const auto ticks = [](const FILETIME& t) {
      return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::string name = CutAtNul(found.cFileName, MAX_PATH);
      if (name.size() != 20) continue;  // ".~ip", 12 characters, ".tmp"
      // Younger than a minute: left to the write that may just have made it.
      if (ticks(nowTime) - ticks(found.ftLastWriteTime) < 600000000ULL) continue;
      // A running write keeps its file open without sharing: the deletion
      // fails for it.
      if (DeleteFileW(Widen(base + name).c_str())) ++removed;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return removed;
  }

  std::string MakePrivateFolder(const std::string& prefix) override {
    const std::string name = MakeTempName(prefix);
    if (name.empty() || !CreateDirectoryW(Widen(name).c_str(), nullptr)) return {};
    return name;
  }

  bool RemoveFolder(const std::string& path) override {
    return RemoveDirectoryW(Widen(path).c_str()) != 0;
  }

  std::string MakeTempName(const std::string& prefix) override {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return {};
    wchar_t name[MAX_PATH] = {};
    if (GetTempFileNameW(folder, Widen(prefix).c_str(), 0, name) == 0) return {};
    DeleteFileW(name);
    return CutAtNul(name, MAX_PATH);
  }

  std::string PicturesFolder() override {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_MYPICTURES, nullptr, 0, buffer))) return {};
    std::string folder = CutAtNul(buffer, MAX_PATH);
    if (folder.empty()) return {};
    if (folder.back() != '\\') folder += '\\';
    return folder;
  }

  std::int64_t FreeSpace(const std::string& path) override {
    // The nearest existing folder: the destination may not exist yet, and a
    // network path has no drive letter to ask about.
    const std::string existing = NearestExisting(path);
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    TQuietErrors quiet;
    if (!GetDiskFreeSpaceExW(Widen(existing).c_str(), &available, &total, nullptr)) return -1;
    if (total.QuadPart == 0) return kFreeSpaceUnknown;
    return static_cast<std::int64_t>(
        std::min<ULONGLONG>(available.QuadPart, std::numeric_limits<std::int64_t>::max()));
  }

  TFileSystemLimits FileSystemLimits(const std::string& path) override {
    // Windows refuses DOS's reserved characters on every file system.
    TFileSystemLimits limits;
    limits.RefusesDosNames = true;
    const std::string root = MountPointOf(path);
    wchar_t name[MAX_PATH + 1] = {};
    TQuietErrors quiet;
    if (root.empty() || !GetVolumeInformationW(Widen(root).c_str(), nullptr, 0, nullptr, nullptr,
                                               nullptr, name, MAX_PATH + 1)) {
      return limits;
    }
    limits.Name = CutAtNul(name, MAX_PATH + 1);
    if (limits.Name == "FAT" || limits.Name == "FAT12" || limits.Name == "FAT16" ||
        limits.Name == "FAT32") {
      limits.MaxFileSize = 0xFFFFFFFFull;
    }
    return limits;
  }

  std::string MountPointOf(const std::string& path) override {
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(Widen(NearestExisting(path)).c_str(), root, MAX_PATH + 1)) return {};
    return CutAtNul(root, MAX_PATH + 1);
  }

  bool IsOnSameVolume(const std::string& path, const std::string& root) override {
    const std::string a = MountPointOf(path);
    const std::string b = MountPointOf(root);
    return !a.empty() &&
           CompareStringOrdinal(Widen(a).c_str(), -1, Widen(b).c_str(), -1, TRUE) == CSTR_EQUAL;
  }

  std::unique_ptr<TDeviceWindow> CreateDeviceWindow(TDeviceWindow::THandler handler) override {
    return std::make_unique<TWin32DeviceWindow>(std::move(handler));
  }

  bool IsItunesRunning() override { return FindWindowW(L"iTunes", nullptr) != nullptr; }

  void CloseItunesHelper() override {
    const HWND helper = FindWindowW(L"HelperMsgListenerWndCls", L"HelperMsgListenerWnd");
    if (!helper) return;
    PostMessageW(helper, WM_QUIT, 0, 0);
    ::Sleep(500);
  }

  // The eject of the volume in two steps, as the facade drives them: each
  // Unmount opens the volume and asks once for the lock (the facade retries
  // a busy volume), then dismounts; PowerOff allows removal and ejects.
  TUnmountResult Unmount(const TMountEntry& mount) override {
    CloseLocked();
    void* volume = volumes_->Open(mount.MountPoint.substr(0, 2), true);
    if (!volume) return TUnmountResult::Failed;
    if (!volumes_->Control(volume, FSCTL_LOCK_VOLUME, nullptr, 0)) {
      volumes_->Close(volume);
      return TUnmountResult::Busy;
    }
    if (!volumes_->Control(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0)) {
      volumes_->Close(volume);
      return TUnmountResult::Failed;
    }
    locked_ = volume;
    return TUnmountResult::Ok;
  }

  bool PowerOff(const TMountEntry&) override {
    if (!locked_) return false;
    PREVENT_MEDIA_REMOVAL allow{};
    allow.PreventMediaRemoval = FALSE;
    bool ok = volumes_->Control(locked_, IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof allow);
    if (ok) ok = volumes_->Control(locked_, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0);
    CloseLocked();
    return ok;
  }

  void Sleep(unsigned milliseconds) override { ::Sleep(milliseconds); }

  ~TWin32Platform() override { CloseLocked(); }

private:
  void CloseLocked() {
    if (locked_) volumes_->Close(std::exchange(locked_, nullptr));
  }

  std::unique_ptr<TVolumeControl> volumes_;
  void* locked_ = nullptr;
};

}  // namespace

TMountEntry VolumeEntry(char letter) {
  TMountEntry entry;
  entry.MountPoint = VolumeRoot(letter);
  entry.Source = "\\\\.\\" + std::string(1, letter) + ":";
  return entry;
}

TDeviceChangeMessage DecodeDeviceChange(std::uintptr_t event, const void* data) {
  TDeviceChangeMessage message;
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
  const bool volume = header && header->dbch_devicetype == DBT_DEVTYP_VOLUME;
  switch (event) {
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEREMOVECOMPLETE:
      if (volume) {
        const auto* record = static_cast<const DEV_BROADCAST_VOLUME*>(data);
        message.Kind = event == DBT_DEVICEARRIVAL ? TDeviceChangeMessage::TKind::Arrival
                                                  : TDeviceChangeMessage::TKind::RemoveComplete;
        message.Volume = VolumeEntry(DriveLetterFromMask(record->dbcv_unitmask));
      }
      break;
    case DBT_DEVICEQUERYREMOVE:
      message.Kind = TDeviceChangeMessage::TKind::QueryRemove;
      break;
    default:
      break;
  }
  return message;
}

std::unique_ptr<TPlatform> CreateWin32Platform(std::unique_ptr<TVolumeControl> volumes) {
  return std::make_unique<TWin32Platform>(std::move(volumes));
}

std::unique_ptr<TPlatform> CreateNativePlatform() {
  return CreateWin32Platform(std::make_unique<TWin32Volumes>());
}

}  // namespace quill
