#include "device/ipod_device.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

#include "device/mobile_device_loader.h"
#include "support/text.h"

namespace quill {

namespace {

constexpr int kCopyBufferMiB = 3;
constexpr int kIosCopyFailed = 2;
constexpr unsigned kEjectAttempts = 5;
constexpr unsigned kEjectPauseMs = 500;

// The loss of the volume is handled on the GUI thread while the transfer
// thread may be building device paths or adding a message: Drive and
// Messages change, and Drive is read by the file operations, under this lock.
std::mutex& StateMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string LockedCopy(const std::string& text) {
  std::lock_guard lock(StateMutex());
  return text;
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

// Whether path lies in the folder root, after resolving both as far as they
// exist, so that "out/../ipod/x" and symbolic links do not slip past.
bool LiesUnder(const std::string& path, const std::string& root) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return false;
  const fs::path b = fs::weakly_canonical(fs::absolute(root, ec), ec);
  if (ec) return false;
  const std::string p = WithoutTrailingSeparators(a.generic_string());
  const std::string r = WithoutTrailingSeparators(b.generic_string());
  if (r == "/") return true;
  return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/');
}

// name under folder with one separator between them (none added after a
// root that ends in one, such as "/" or "Q:\").
std::string Under(const std::string& folder, std::string_view name, char sep) {
  std::string path = folder;
  if (path.empty() || (path.back() != '/' && path.back() != '\\')) path += sep;
  path += name;
  return path;
}

bool IsSoundOrVideo(std::string_view ext) {
  return EqualsNoCase(ext, ".mov") || EqualsNoCase(ext, ".wav") || EqualsNoCase(ext, ".aac");
}

}  // namespace

std::string TIpodDevice::CopyMessages() const { return LockedCopy(Messages); }

TIpodDevice::TIpodDevice(TPlatform& platform, TChangeEvent onChange,
                         std::unique_ptr<TIosHelper> ios)
    : OnChange(std::move(onChange)), platform_(platform), ios_(std::move(ios)) {
  if (!ios_) {
    ios_ = std::make_unique<TIosHelper>(
        kCopyBufferMiB, [this](bool connected) { IosConnectionChanged(connected); });
  }
  if (!ios_->LibraryLoaded()) {
    AddMessage(LibraryMissingMessage());
    IosUnavailable = true;
  }
  ios_->Start(IosUnavailable);
  if (!ios_->Subscribed()) {
    AddMessage(NotificationsMissingMessage());
    IosUnavailable = true;
  }
  if (ios_->BufferSize() == 0) AddMessage("Internal - out of Memory");
  window_ = platform_.CreateDeviceWindow(
      [this](const TDeviceChangeMessage& message) -> std::optional<std::intptr_t> {
        // An iOS device in use leaves every volume message to the system.
        if (IsIos) return std::nullopt;
        return WndProc(message);
      });
}

TIpodDevice::~TIpodDevice() {
  window_.reset();
  if (EjectOnClose && !IsIos) EjectDrive();
  RemovePhotoDataCopies();
  thumb_stream_.reset();
  ios_.reset();
}

void TIpodDevice::AddMessage(std::string_view line) {
  std::lock_guard lock(StateMutex());
  Messages += "\r\n";
  Messages += line;
}

// ---- Detection -------------------------------------------------------------

char DriveLetterFromMask(std::uint32_t mask) {
  for (int bit = 0; bit < 26; ++bit)
    if (mask & (std::uint32_t{1} << bit)) return static_cast<char>('A' + bit);
  return 'D';
}

void TIpodDevice::Accept(const TMountEntry& volume, const std::string& drive, bool iosMediaFolder) {
  IsIos = false;
  {
    std::lock_guard lock(StateMutex());
    Drive = drive;
  }
  volume_ = volume;
  IosMediaFolder = iosMediaFolder;
  if (window_ && !volume.MountPoint.empty()) window_->WatchVolume(volume);
}

bool TIpodDevice::ProbeDrive(const TMountEntry& volume) {
  if (volume.MountPoint.empty() || !platform_.IsRemovableMount(volume)) return false;
  const std::string drive = WithoutTrailingSeparators(volume.MountPoint);
  const char sep = platform_.Separator();
  std::string marker = Under(Under(drive, "iPod_Control", sep), "iTunes", sep);
  marker += sep;
  if (!platform_.DirectoryExists(marker)) return false;
  Accept(volume, drive, false);
  return true;
}

bool TIpodDevice::ScanDrives() {
  for (const TMountEntry& volume : platform_.ReadMounts()) {
    if (!ProbeDrive(volume)) continue;
    Connected = true;
    DiskFound = true;
    if (OnChange) OnChange(true, false);
    return true;
  }
  return false;
}

bool TIpodDevice::UseFolder(const std::string& folder, std::string& error) {
  std::string dir = WithoutTrailingSeparators(folder);
  // "Q:\" names a drive's root; "Q:" alone would be the drive's current
  // folder.
  if (dir.size() == 2 && dir[1] == ':' && folder.size() > 2) dir = folder.substr(0, 3);
  if (dir.empty()) {
    error = "No folder was given for the device.";
    return false;
  }
  if (!platform_.DirectoryExists(dir)) {
    error = dir + " is not a folder (it does not exist or cannot be read).";
    return false;
  }
  const char sep = platform_.Separator();
  auto inside = [&](const char* name) { return platform_.DirectoryExists(Under(dir, name, sep)); };
  const bool ipod = inside("iPod_Control");
  const bool ios = inside("iTunes_Control") || inside("PhotoData");
  if (!ipod && !ios) {
    error = dir +
            " does not hold an iPod: no iPod_Control folder (an iPod in disk mode) and no "
            "iTunes_Control or PhotoData folder (the media folder of an iOS device).";
    return false;
  }
  Accept(TMountEntry{}, dir, !ipod);
  Connected = true;
  DiskFound = true;
  if (OnChange) OnChange(true, false);
  return true;
}

std::intptr_t TIpodDevice::WndProc(const TDeviceChangeMessage& message) {
  if (IsIos) return 0;
  switch (message.Kind) {
    case TDeviceChangeMessage::TKind::Arrival:
      if (!Connected && ProbeDrive(message.Volume)) {
        Connected = true;
        DiskFound = true;
        if (OnChange) OnChange(true, false);
      }
      return 0;
    case TDeviceChangeMessage::TKind::QueryRemove:
      if (Connected) return EjectOnClose ? 0 : kBroadcastQueryDeny;
      return 0;
    case TDeviceChangeMessage::TKind::RemoveComplete:
      // Both sides without their trailing separator: a drive root taken as
      // the device folder is kept as "Q:\", while its volume leaves as "Q:".
      if (Connected && !Drive.empty() &&
          WithoutTrailingSeparators(message.Volume.MountPoint) ==
              WithoutTrailingSeparators(LockedCopy(Drive)))
        Lost();
      return 0;
    case TDeviceChangeMessage::TKind::Other:
      return 0;
  }
  return 0;
}

void TIpodDevice::Lost() {
  AddMessage("[!]: Lost iPod, please connect iPod to try again");
  Connected = false;
  DiskFound = false;
  // The transfer thread's file operations read these two: written only when
  // they change (a disk-mode loss leaves IsIos as it was, false).
  if (IsIos) IsIos = false;
  if (IosMediaFolder) IosMediaFolder = false;
  {
    std::lock_guard lock(StateMutex());
    Drive.clear();
  }
  volume_ = TMountEntry{};
  if (OnChange) OnChange(false, false);
}

void TIpodDevice::IosConnectionChanged(bool connected) {
  if (Connected && !IsIos) return;
  Connected = connected;
  IsIos = connected;
  if (connected) DiskFound = false;
  if (OnChange) OnChange(connected, true);
}

// ---- Device files ----------------------------------------------------------

std::string TIpodDevice::DiskPath(std::string_view devicePath, bool colonForm) const {
  std::string root = LockedCopy(Drive);
  if (root.empty()) return {};
  const char sep = platform_.Separator();
  std::string relative;
  relative.reserve(devicePath.size());
  for (char c : devicePath)
    relative += (c == '/' || c == '\\' || (colonForm && c == ':')) ? sep : c;
  const std::size_t first = relative.find_first_not_of(sep);
  relative.erase(0, first == std::string::npos ? relative.size() : first);
  while (root.size() > 1 && root.back() == sep) root.pop_back();
  if (root.size() == 1 && root[0] == sep) return root + relative;
  return root + sep + relative;
}

bool TIpodDevice::DeviceFileExists(const std::string& path) {
  if (IsIos) return ios_->PathExists(ReplaceAll(path, '\\', '/'));
  return platform_.FileExists(DiskPath(path));
}

bool TIpodDevice::ReadLocalToStream(const std::string& fullPath, const std::string& shownPath,
                                    TMemoryStream& stream) {
  stream.Clear();
  try {
    if (fullPath.empty() || !platform_.FileExists(fullPath)) {
      AddMessage("Not found: " + shownPath);
      return false;
    }
    if (stream.FillWhole([&](std::vector<std::uint8_t>& bytes) {
          return platform_.ReadWholeFile(fullPath, bytes);
        }) == 0) {
      return true;
    }
  } catch (const std::exception&) {
    // An unplugged drive or a file too large for memory: both end the same way.
  }
  stream.Clear();
  AddMessage("iPod not found, connect iPod to try again.");
  return false;
}

bool TIpodDevice::ReadFileToStream(const std::string& path, TMemoryStream& stream) {
  if (IsIos) {
    stream.Clear();
    if (ios_->CopyToStream(path, stream)) {
      stream.Seek(0);
      return true;
    }
    AddMessage(ios_->LastError());
    return false;
  }
  return ReadLocalToStream(DiskPath(path), path, stream);
}

bool TIpodDevice::ReadPhotoDatabase(TMemoryStream& stream) {
  return ReadFileToStream("/Photos/Photo Database", stream);
}

int TIpodDevice::WriteFromDevice(const std::string& devicePath, const std::string& pcPath,
                                 TIosHelper::TSizeRule rule, const TWriteOptions& options,
                                 bool* changed, bool& read) {
  read = true;
  return platform_.WriteStreamNoOverwrite(
      pcPath,
      [&](const TPlatform::TWriteSink& sink) {
        int sinkError = 0;
        if (ios_->CopyToSink(devicePath, sink, rule, changed, &sinkError)) return 0;
        if (sinkError != 0) return sinkError;
        read = false;
        return kErrorRead;
      },
      options);
}

void TIpodDevice::PrepareTempName() {
  if (!temp_folder_.empty()) return;
  // The library's copies hold the user's whole photo history: they go into
  // a folder of the user's own that nobody else can read, not beside other
  // users' files in the shared temporary folder.
  temp_folder_ = platform_.MakePrivateFolder("quillmere-");
  TempName = temp_folder_.empty() ? std::string()
                                  : temp_folder_ + platform_.Separator() + "Photos.sqlite";
}

void TIpodDevice::RemovePhotoDataCopies() {
  if (temp_folder_.empty()) return;
  // SQLite may also have left its shared-memory index or a journal.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) platform_.DeleteFile(TempName + suffix);
  if (!temp_folder_.empty()) platform_.RemoveFolder(temp_folder_);
  // TempName keeps the name the copies had, so that one can tell they are
  // gone; the next copy makes a new folder.
  temp_folder_.clear();
}

std::string TIpodDevice::FetchPhotoDataFile(const std::string& name, const std::string& suffix) {
  const std::string source = IsIos ? std::string() : DiskPath("/PhotoData/" + name);
  if (!IsIos && (source.empty() || !platform_.FileExists(source))) return {};
  PrepareTempName();
  if (temp_folder_.empty()) {
    AddMessage("Copy photodb failed: no private folder could be made for the library's copy");
    return {};
  }
  const std::string local = TempName + suffix;
  TWriteOptions options;
  options.OwnerOnly = true;
  if (!IsIos) {
    // SQLite may checkpoint the log into a database it opened and delete the
    // log when it closes: reading the device's files in place would change them.
    platform_.DeleteFile(local);
    const int error = platform_.CopyFileNoOverwrite(source, local, options);
    if (error == 0) return local;
    AddMessage("Copy photodb failed: cannot copy " + source + " to " + local + " (error " +
               std::to_string(error) + ")");
    return {};
  }
  // A phone in use may write its library while it is copied: a copy during
  // which the stated size moved is taken again. SQLite ignores a log's torn
  // last frame, so the last copy, read to its end, still serves.
  constexpr int kAttempts = 3;
  const std::string devicePath = "/PhotoData/" + name;
  for (int attempt = 1;; ++attempt) {
    platform_.DeleteFile(local);
    bool changed = false;
    bool read = true;
    const int error =
        WriteFromDevice(devicePath, local, TIosHelper::TSizeRule::ToEnd, options, &changed, read);
    if (error != 0) {
      AddMessage(read ? "Copy photodb failed: cannot write " + local + " (error " +
                            std::to_string(error) + ")"
                      : "Copy photodb failed: " + ios_->LastError());
      platform_.DeleteFile(local);
      return {};
    }
    if (!changed) return local;
    if (attempt == kAttempts) {
      FetchNotes.push_back(name + " changed while it was copied (" + std::to_string(kAttempts) +
                           " times); the copy read to its end is used");
      return local;
    }
  }
}

bool TIpodDevice::RefuseParentPath(const std::string& devicePath) {
  // A full path begins with Drive, which the user may have named with "..";
  // only the part on the device is checked.
  std::string_view onDevice = devicePath;
  const std::string root = DiskPath("");
  if (!IsIos && !root.empty() && onDevice.substr(0, root.size()) == root)
    onDevice.remove_prefix(root.size());
  if (!HasParentComponent(onDevice)) return false;
  AddMessage("Refused device path with a \"..\" component: " + devicePath);
  return true;
}

// The helper's own file copy would write the final name directly; the
// platform's write publishes only a whole file and never replaces one that
// is there. The bytes pass through the helper's buffer on their way: a long
// video is never held in memory.
int TIpodDevice::CopyIosFileToPc(const std::string& devicePath, const std::string& pcPath,
                                 TWriteOptions options) {
  if (!options.Modified) options.Modified = ios_->GetFileModified(devicePath);
  bool read = true;
  const int error =
      WriteFromDevice(devicePath, pcPath, TIosHelper::TSizeRule::Strict, options, nullptr, read);
  if (error == 0) return 0;
  if (!read) {
    AddMessage("Copy fail: " + ios_->LastError());
    return kIosCopyFailed;
  }
  // A name taken since the caller looked is the platform's answer, so that
  // the caller goes on to the next free name.
  if (error == kErrorNameTaken) return kErrorNameTaken;
  AddMessage("Copy fail: cannot write " + pcPath + " (error " + std::to_string(error) + ")");
  return kIosCopyFailed;
}

int TIpodDevice::CopyItemToPc(const std::string& colonPath, const std::string& pcPath,
                              const TWriteOptions& options) {
  if (RefuseParentPath(colonPath)) return kErrorAccessDenied;
  if (IsIos) return CopyIosFileToPc(ReplaceAll(colonPath, ':', '/'), pcPath, options);
  return platform_.CopyFileNoOverwrite(DiskPath(colonPath, true), pcPath, options);
}

int TIpodDevice::CopyFileToPc(const std::string& devicePath, const std::string& pcPath,
                              const TWriteOptions& options) {
  if (RefuseParentPath(devicePath)) return kErrorAccessDenied;
  if (IsIos) return CopyIosFileToPc(devicePath, pcPath, options);
  return platform_.CopyFileNoOverwrite(devicePath, pcPath, options);
}

std::uint64_t TIpodDevice::LocalFileSize(const std::string& pcPath) {
  return platform_.FileSize(pcPath).value_or(0);
}

std::uint64_t TIpodDevice::DeviceFileSize(const std::string& colonPath) {
  if (IsIos) return ios_->GetFileSize(ReplaceAll(colonPath, ':', '/'));
  const std::string path = DiskPath(colonPath, true);
  return path.empty() ? 0 : LocalFileSize(path);
}

// ---- .ithmb records --------------------------------------------------------

bool TIpodDevice::OpenThumbFile(const std::string& name, std::size_t recordSize) {
  CloseThumbFile();
  if (IsIos) {
    if (!ios_->OpenFile("/Photos/Thumbs/" + name + ".ithmb") &&
        !ios_->OpenFile("/PhotoData/Thumbnails/" + name)) {
      AddMessage(ios_->LastError());
      return false;
    }
    try {
      record_buffer_.assign(recordSize, 0);
    } catch (const std::bad_alloc&) {
      ios_->CloseFile();
      AddMessage("Internal - out of Memory");
      return false;
    }
    record_buffer_set_ = true;
    return true;
  }
  std::string path = DiskPath("/Photos/Thumbs/" + name + ".ithmb");
  if (!platform_.FileExists(path) && IosMediaFolder)
    path = DiskPath("/PhotoData/Thumbnails/" + name);
  if (path.empty() || !platform_.FileExists(path)) {
    AddMessage("File not found: " + name);
    return false;
  }
  int error = 0;
  thumb_stream_ = platform_.OpenReadOnly(path, error);
  if (!thumb_stream_) {
    AddMessage("Open error " + std::to_string(error) + ": " + name);
    return false;
  }
  thumb_size_ = platform_.FileSize(path);
  return true;
}

bool TIpodDevice::ReadThumbRecord(std::size_t size, TMemoryStream& stream, std::uint64_t offset) {
  const std::size_t start = stream.Position();
  const std::size_t oldSize = stream.Size();
  try {
    if (IsIos) {
      if (!record_buffer_set_) {
        AddMessage("No .ithmb file is open");
        return false;
      }
      // Some exporters read more than the record size they opened with.
      if (size > record_buffer_.size()) record_buffer_.resize(size);
      if (!ios_->ReadAt(size, record_buffer_.data(), offset)) {
        AddMessage(ios_->LastError());
        return false;
      }
      stream.Write(record_buffer_.data(), size);
      stream.Seek(0);
      return true;
    }
    if (!thumb_stream_) {
      AddMessage("No .ithmb file is open");
      return false;
    }
    // A record that cannot fit in the file is a short read; testing first
    // keeps a hostile size from allocating gigabytes.
    if (thumb_size_ && (offset > *thumb_size_ || size > *thumb_size_ - offset)) return false;
    // Appending (the usual case) reads straight into the stream; a read over
    // bytes the stream holds goes through a buffer so a failure changes nothing.
    const bool append = start == oldSize;
    std::uint8_t* target = nullptr;
    if (append) {
      target = stream.Extend(size);
    } else {
      scratch_.resize(size);
      target = scratch_.data();
    }
    const std::int64_t got = thumb_stream_->ReadAt(offset, target, size);
    if (got < 0 || static_cast<std::uint64_t>(got) != size) {
      const int error = got < 0 ? thumb_stream_->Error() : 0;
      if (append) {
        stream.Truncate(oldSize);
        stream.Seek(start);
      }
      if (got < 0) AddMessage("Read error " + std::to_string(error));
      return false;
    }
    if (!append) stream.Write(scratch_.data(), size);
    stream.Seek(0);
    return true;
  } catch (const std::exception& e) {
    // Only the bytes of this record were added; a caught failure takes them
    // back like any other.
    stream.Truncate(oldSize);
    stream.Seek(start);
    const bool memory =
        dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const std::length_error*>(&e);
    AddMessage(memory ? std::string("Internal - out of Memory")
                      : std::string("Read error: ") + e.what());
    return false;
  }
}

void TIpodDevice::CloseThumbFile() {
  if (IsIos) ios_->CloseFile();
  thumb_stream_.reset();
  thumb_size_.reset();
  record_buffer_ = {};
  record_buffer_set_ = false;
}

// ---- Camera folder ---------------------------------------------------------

namespace {

// A camera folder's name: three digits from 100 to 999 and five characters
// more ("100APPLE", "101APPLE", "100IMPRT"). Its number, or 0.
int CameraFolderNumber(std::string_view name) {
  if (name.size() != 8) return 0;
  int number = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + (name[i] - '0');
  }
  if (number < 100) return 0;
  for (std::size_t i = 3; i < 8; ++i) {
    const char c = name[i];
    if (c == '/' || c == '\\' || c == ':' || c == '.' || static_cast<unsigned char>(c) < 0x20)
      return 0;
  }
  return number;
}

}  // namespace

std::string TIpodDevice::CameraFolder() const {
  return IsIos ? std::string("/DCIM/100APPLE/") : DiskPath("/DCIM/100APPLE/");
}

std::vector<std::string> TIpodDevice::CameraFolders() {
  std::vector<std::string> names;
  if (IsIos) {
    ios_->ListEntries("/DCIM/", TIosHelper::TListKind::Folders, names);
  } else if (!LockedCopy(Drive).empty()) {
    for (const TDirEntry& entry : platform_.ListDirectory(DiskPath("/DCIM/")))
      if (entry.IsDirectory) names.push_back(entry.Name);
  }
  std::erase_if(names, [](const std::string& name) { return CameraFolderNumber(name) == 0; });
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int na = CameraFolderNumber(a), nb = CameraFolderNumber(b);
    return na != nb ? na < nb : a < b;
  });
  std::vector<std::string> folders;
  folders.reserve(names.size());
  for (const std::string& name : names)
    folders.push_back(IsIos ? "/DCIM/" + name + "/" : DiskPath("/DCIM/" + name + "/"));
  return folders;
}

int TIpodDevice::ListCameraFilesIn(const std::string& folder, std::vector<std::string>& names) {
  std::vector<std::string> found;
  if (IsIos) {
    ios_->ListFiles(folder, found);
  } else if (!LockedCopy(Drive).empty()) {
    for (const TDirEntry& entry : platform_.ListDirectory(folder)) {
      if (!entry.IsRegular) continue;
      if (!IosMediaFolder && !StartsWithNoCase(entry.Name, "IMG")) continue;
      found.push_back(entry.Name);
    }
  }
  // Thumbnails of the other files, and the hidden files of the system and of
  // other computers ("._IMG_0001.JPG"), are no camera files.
  std::erase_if(found, [](const std::string& name) {
    return name.empty() || name[0] == '.' || EqualsNoCase(ExtractFileExt(name), ".THM");
  });
  // In the order the device or the file system returns them.
  names.insert(names.end(), found.begin(), found.end());
  return static_cast<int>(found.size());
}

int TIpodDevice::ListCameraFiles(std::vector<std::string>& names) {
  for (const std::string& folder : CameraFolders()) ListCameraFilesIn(folder, names);
  return static_cast<int>(names.size());
}

void TIpodDevice::ListNames(const std::string& devicePath, std::vector<std::string>& names) {
  if (IsIos) {
    std::string folder = ReplaceAll(devicePath, '\\', '/');
    if (folder.empty() || folder.front() != '/') folder.insert(folder.begin(), '/');
    if (folder.back() != '/') folder += '/';
    ios_->ListEntries(folder, TIosHelper::TListKind::AnyEntry, names);
    return;
  }
  const std::string folder = DiskPath(devicePath);
  if (folder.empty()) return;
  for (const TDirEntry& entry : platform_.ListDirectory(folder)) names.push_back(entry.Name);
}

bool TIpodDevice::ReadCameraThumb(const std::string& folder, const std::string& fileName,
                                  TMemoryStream& stream, std::string& ext) {
  const char sep = IsIos ? '/' : platform_.Separator();
  // In disk mode the folder already begins with Drive.
  auto read = [&](const std::string& path) {
    if (IsIos) return ReadFileToStream(path, stream);
    return ReadLocalToStream(LockedCopy(Drive).empty() ? std::string() : path, path, stream);
  };
  const std::string thm = ChangeFileExt(fileName, ".THM");
  if (read(folder + ".MISC" + sep + thm) || read(folder + thm)) {
    ext = ".JPG";
    return true;
  }
  ext = ExtractFileExt(fileName);
  if (IsSoundOrVideo(ext)) {
    stream.Clear();
    return true;
  }
  return read(folder + fileName);
}

// ---- PC side ---------------------------------------------------------------

bool TIpodDevice::CheckDestination(std::string& path, std::uint64_t needed) {
  const std::string given = path;
  const char sep = platform_.Separator();
  std::string target = given;
  if (!target.empty() && !std::filesystem::path(target).is_absolute()) {
    // The command line passes "--to out": the rest of the program needs a
    // folder that does not depend on the current folder.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(target, ec);
    if (!ec) target = absolute.string();
  }
  if (target.empty()) {
    path = "Can not create the folder: " + given + "\nPlease choose another place.";
    return false;
  }
  if (!IsIos && !Drive.empty()) {
    // A folder taken as the device shares its file system with the user's
    // folders; only the folder itself is the iPod then.
    const bool onIpod = volume_.MountPoint.empty() ? LiesUnder(target, Drive)
                                                   : platform_.IsOnSameVolume(target, Drive);
    if (onIpod) {
      // The volume's root as the system writes it (F:\ on Windows).
      path = (volume_.MountPoint.empty() ? Drive : volume_.MountPoint) +
             " is your iPod.\nYou cannot transfer the files from iPod to iPod. Please choose "
             "another folder in "
             "your computer.";
      return false;
    }
  }
  const std::int64_t free = platform_.FreeSpace(target);
  // A file system that tells no size may well have room: its writes will
  // say when it is full.
  const bool unknown = free == kFreeSpaceUnknown;
  if (!unknown && (free < 0 || static_cast<std::uint64_t>(free) <= needed)) {
    std::string mount = platform_.MountPointOf(target);
    if (mount.empty()) mount = target;
    path = mount +
           " hasn't enough free disk space to save all the selected items.\nPlease choose another "
           "place to try again.";
    return false;
  }
  if (!platform_.CreateDirectories(target)) {
    path = "Can not create the folder: " + given + "\nPlease choose another place.";
    return false;
  }
  if (target.back() != sep) target += sep;
  path = target;
  return true;
}

void TIpodDevice::GetDefaultFolder(std::string& path) { path = platform_.PicturesFolder(); }

bool TIpodDevice::EjectDrive() {
  if (IsIos) return true;
  if (volume_.MountPoint.empty() || !platform_.IsRemovableMount(volume_)) return false;
  // Our own open .ithmb file would keep the volume busy.
  CloseThumbFile();
  for (unsigned attempt = 0; attempt < kEjectAttempts; ++attempt) {
    switch (platform_.Unmount(volume_)) {
      case TUnmountResult::Ok:
        return platform_.PowerOff(volume_);
      case TUnmountResult::Failed:
        return false;
      case TUnmountResult::Busy:
        platform_.Sleep(kEjectPauseMs);
        break;
    }
  }
  return false;
}

}  // namespace quill
