#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/ios_helper.h"
#include "device/platform/platform.h"
#include "support/memory_stream.h"

namespace quill {

constexpr std::intptr_t kBroadcastQueryDeny = 0x424D5144;

// The one object through which the program reaches the attached device: a
// disk-mode iPod mounted as a removable volume (or a folder taken as one), or
// an iOS device served by TIosHelper. Device paths use '/' (or ':' in colon
// form); the facade turns them into the platform's paths under Drive.
//
// Operations report failure by their result and a line in Messages; nothing
// throws. Lifecycle, detection and eject run on the GUI thread; the file
// operations run on the GUI thread and on the transfer thread, taking turns
// (one .ithmb file is open at a time). The platform must outlive the object.
class TIpodDevice {
public:
  using TChangeEvent = std::function<void(bool connected, bool fromIos)>;

  // Creates the iOS helper (ios may be null: the build's own helper is used),
  // adds the messages of a missing mobile device library, and subscribes.
  TIpodDevice(TPlatform& platform, TChangeEvent onChange,
              std::unique_ptr<TIosHelper> ios = nullptr);
  ~TIpodDevice();
  TIpodDevice(const TIpodDevice&) = delete;
  TIpodDevice& operator=(const TIpodDevice&) = delete;

  // Fields, as the rest of the program reads and sets them.
  std::string Messages;
  // Messages as they stand, read under the lock other threads change it under.
  std::string CopyMessages() const;
  // Atomic: an iOS arrival or removal sets them on the mobile device
  // library's thread while the transfer thread reads them.
  std::atomic<bool> IsIos = false;
  std::atomic<bool> Connected = false;
  bool EjectOnClose = false;
  std::atomic<bool> DiskFound = false;
  std::string Drive;  // mount point (or folder) of the disk-mode iPod
  std::string TempName;
  // What the copies of the library met that the log should tell (a file
  // that kept changing while it was copied).
  std::vector<std::string> FetchNotes;
  TChangeEvent OnChange;
  bool IosUnavailable = false;
  // The disk-mode folder holds an iOS device's media folder: its 16-bit
  // records use the 5-5-5 masks and its camera folder lists every file.
  bool IosMediaFolder = false;

  // True while the data are an iOS device's (served over AFC or from a media
  // folder): decides the colour masks and the camera listing.
  bool HasIosData() const { return IsIos || IosMediaFolder; }

  void AddMessage(std::string_view line);

  // Detection.
  bool ScanDrives();
  bool ProbeDrive(const TMountEntry& volume);
  // Takes a folder as the connected device without the removable test: a
  // folder with iPod_Control/ is a disk-mode iPod, one with iTunes_Control/ or
  // PhotoData/ (and no iPod_Control/) an iOS media folder. On refusal, false
  // with the reason in error. Fires OnChange(true, false) on success.
  bool UseFolder(const std::string& folder, std::string& error);
  // Handles arrival, removal query and removal of volumes; answers the
  // message result (kBroadcastQueryDeny to veto a removal query).
  std::intptr_t WndProc(const TDeviceChangeMessage& message);
  // Called by the iOS helper (on the mobile device library's thread).
  void IosConnectionChanged(bool connected);
  bool IsItunesRunning() { return platform_.IsItunesRunning(); }
  void CloseItunesHelper() { platform_.CloseItunesHelper(); }

  // Device files. Paths are relative to the device root, with '/' or '\'.
  bool DeviceFileExists(const std::string& path);
  bool ReadFileToStream(const std::string& path, TMemoryStream& stream);
  bool ReadPhotoDatabase(TMemoryStream& stream);
  // A local copy of the device's PhotoData/<name> as TempName + suffix, also in
  // disk mode (SQLite must never open a file on the device); empty when there
  // is none or it could not be copied. The copies lie in a folder of the
  // user's own; RemovePhotoDataCopies deletes them with it.
  std::string FetchPhotoDataFile(const std::string& name, const std::string& suffix);
  void RemovePhotoDataCopies();
  // Copies a device file named in colon form (":Photos:Full Resolution:x.jpg")
  // to a PC file that must not exist. 0, an error code (disk mode), or 2 (iOS).
  // A colon path with a ".." component is refused with EACCES.
  // options.Modified sets the copy's file time; without it the copy keeps the
  // device file's.
  int CopyItemToPc(const std::string& colonPath, const std::string& pcPath,
                   const TWriteOptions& options = {});
  // The same with a full device path (a path under a camera folder).
  int CopyFileToPc(const std::string& devicePath, const std::string& pcPath,
                   const TWriteOptions& options = {});
  std::uint64_t LocalFileSize(const std::string& pcPath);
  std::uint64_t DeviceFileSize(const std::string& colonPath);
  // The size of a full device path (a path under CameraFolder()), 0 when it
  // is not available.
  std::uint64_t FullDeviceFileSize(const std::string& devicePath) {
    return IsIos ? ios_->GetFileSize(devicePath) : LocalFileSize(devicePath);
  }

  // One .ithmb file open at a time. Reads longer than recordSize are served.
  bool OpenThumbFile(const std::string& name, std::size_t recordSize);
  // Writes size bytes read at offset into the stream at its position, then
  // positions the stream at 0. A short read is a failure; a failure leaves
  // the stream as it was.
  bool ReadThumbRecord(std::size_t size, TMemoryStream& stream, std::uint64_t offset);
  void CloseThumbFile();

  // Camera folders: every folder directly under DCIM/ named as cameras name
  // them (three digits from 100 and five characters), in the order of their
  // number, then name; each path ends in its separator. CameraFolder is the
  // first camera's folder, where the camera folders are not known.
  std::string CameraFolder() const;
  std::vector<std::string> CameraFolders();
  // Appends the camera files of one camera folder in the order the device or
  // the file system gives them; answers how many.
  int ListCameraFilesIn(const std::string& folder, std::vector<std::string>& names);
  // The camera files of every camera folder.
  int ListCameraFiles(std::vector<std::string>& names);
  // Appends the names of every entry of a device folder (a path relative to
  // the device root), without asking each for its kind: one request a folder.
  void ListNames(const std::string& devicePath, std::vector<std::string>& names);
  bool ReadCameraThumb(const std::string& folder, const std::string& fileName,
                       TMemoryStream& stream, std::string& ext);

  // PC side.
  bool CheckDestination(std::string& path, std::uint64_t needed);
  void GetDefaultFolder(std::string& path);
  bool EjectDrive();
  // Files on the computer, through the platform (the exporters write here).
  bool PcFileExists(const std::string& path) { return platform_.FileExists(path); }
  int ReadPcFile(const std::string& path, std::vector<std::uint8_t>& out) {
    return platform_.ReadWholeFile(path, out);
  }
  int WritePcFileNoOverwrite(const std::string& path, std::span<const std::uint8_t> bytes,
                             const TWriteOptions& options = {}) {
    return platform_.WriteFileNoOverwrite(path, bytes, options);
  }
  bool DeletePcFile(const std::string& path) { return platform_.DeleteFile(path); }
  char PcSeparator() const { return platform_.Separator(); }
  TPlatform& Platform() { return platform_; }
  TIosHelper& Ios() { return *ios_; }

  // The platform path of a device path under Drive, joined with exactly one
  // separator; every '/', '\' and (when colonForm) ':' becomes the separator.
  // Empty while Drive is empty, so that nothing is read from the PC's root.
  std::string DiskPath(std::string_view devicePath, bool colonForm = false) const;

private:
  void PrepareTempName();
  void Lost();
  void Accept(const TMountEntry& volume, const std::string& drive, bool iosMediaFolder);
  bool RefuseParentPath(const std::string& devicePath);
  bool ReadLocalToStream(const std::string& fullPath, const std::string& shownPath,
                         TMemoryStream& stream);
  int CopyIosFileToPc(const std::string& devicePath, const std::string& pcPath,
                      TWriteOptions options);
  // Streams a device file into a new PC file; read tells a failure of the
  // device's side from one of the computer's. 0 or the error code.
  int WriteFromDevice(const std::string& devicePath, const std::string& pcPath,
                      TIosHelper::TSizeRule rule, const TWriteOptions& options, bool* changed,
                      bool& read);

  TPlatform& platform_;
  std::unique_ptr<TIosHelper> ios_;
  TMountEntry volume_;  // the mount of Drive (empty for a folder)
  std::string temp_folder_;  // the private folder of the library's copies
  std::unique_ptr<TDeviceWindow> window_;
  std::unique_ptr<TReadOnlyFile> thumb_stream_;
  std::vector<std::uint8_t> record_buffer_;
  bool record_buffer_set_ = false;
  std::optional<std::uint64_t> thumb_size_;  // size of the open .ithmb file
  std::vector<std::uint8_t> scratch_;        // a record read over stream data
};

}  // namespace quill
