#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

// One line of the mount table.
struct TMountEntry {
  std::string MountPoint;  // "/media/anna/IPOD"
  std::string Source;      // "/dev/sdb1"
  std::string FsType;      // "vfat"
  std::string DevNumber;   // "8:17", major:minor of the mounted block device
  bool operator==(const TMountEntry&) const = default;
};

struct TDirEntry {
  std::string Name;
  bool IsRegular = false;
  bool IsDirectory = false;
};

// A file opened for reading only. ReadAt answers the number of bytes read
// (fewer at the end of the file) or -1 with Error() set to the errno value.
class TReadOnlyFile {
public:
  virtual ~TReadOnlyFile() = default;
  virtual std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
  virtual int Error() const = 0;
};

// How a new file is made.
struct TWriteOptions {
  // The modification time (seconds since 1970, UTC) the file takes before it
  // takes its name; nullopt: a copy keeps its source's, a write its own.
  std::optional<std::int64_t> Modified;
  // Readable and writable by the user alone (private working copies).
  bool OwnerOnly = false;
};

enum class TUnmountResult { Ok, Busy, Failed };

// What the file system of a destination can hold, as far as it tells.
struct TFileSystemLimits {
  std::string Name;  // "vfat", "exfat", "FAT32", ...; empty when unknown
  // The largest file it holds; nullopt when it sets none or does not tell.
  std::optional<std::uint64_t> MaxFileSize;
  // It refuses the characters " * : < > ? \ | in names, and names that end in
  // a dot or a space are lost on the systems that read it (FAT, exFAT, and
  // every file system under Windows).
  bool RefusesDosNames = false;
  bool operator==(const TFileSystemLimits&) const = default;
};

// A device-change message as the mount-table monitor (POSIX) or the hidden
// window (Windows) delivers it to TIpodDevice::WndProc.
struct TDeviceChangeMessage {
  enum class TKind { Arrival, QueryRemove, RemoveComplete, Other };
  TKind Kind = TKind::Other;
  TMountEntry Volume;  // the volume that arrived or left
};

// The window that receives the system's device-change messages (Windows).
// The handler answers the message's result, or nothing for the system's
// default processing.
class TDeviceWindow {
public:
  using THandler = std::function<std::optional<std::intptr_t>(const TDeviceChangeMessage&)>;
  virtual ~TDeviceWindow() = default;
  // Asks for the removal queries of the volume; only the latest volume asked
  // for is watched.
  virtual void WatchVolume(const TMountEntry& volume) = 0;
};

// The drive letter of the lowest of bits 0 (A) to 25 (Z) set in a volume
// message's unit mask; 'D' when none is set.
char DriveLetterFromMask(std::uint32_t mask);

// Error codes in the platform's numbering (errno values on POSIX, Windows
// error codes in the Win32 half), defined by each half.
extern const int kErrorNameTaken;     // a new file's name is in use
extern const int kErrorRetryOnce;     // a device busy for a moment: worth one retry
extern const int kErrorUnsafeName;    // a name or path that cannot be used safely
extern const int kErrorAccessDenied;  // a path the program refuses to touch
extern const int kErrorRead;          // a read that failed or came short
extern const int kErrorBadData;       // a record that cannot be decoded or encoded
extern const int kErrorFileTooLarge;  // a file larger than its file system holds

// FreeSpace's answer for a file system that tells no size at all (FUSE file
// systems that answer 0 blocks): unknown, not full.
inline constexpr std::int64_t kFreeSpaceUnknown = -2;

// The code of the last failed system call of this thread (errno on POSIX,
// GetLastError in the Win32 half), for a failure that surfaces away from its
// call, such as a stream write that throws.
int LastSystemError();

// Every service of the operating system that the device facade uses. Injected
// so that tests can claim removable drives, fail reads, fill the disk or
// refuse an unmount. Implementations are thread-safe for the file operations
// (the transfer thread and the GUI thread both read files); the mount and
// eject operations run on the GUI thread. Error results are errno values
// (Windows error codes in the Win32 half).
class TPlatform {
public:
  virtual ~TPlatform() = default;

  // The path separator of the PC's file names ('/' on POSIX, '\' on Windows).
  virtual char Separator() const = 0;

  // Mounted file systems in table order.
  virtual std::vector<TMountEntry> ReadMounts() = 0;
  // The mount's block device (or its parent disk) is removable or on USB.
  virtual bool IsRemovableMount(const TMountEntry& mount) = 0;

  virtual bool DirectoryExists(const std::string& path) = 0;
  // True for an existing file that is not a folder.
  virtual bool FileExists(const std::string& path) = 0;
  // Size of an existing file that is not a folder.
  virtual std::optional<std::uint64_t> FileSize(const std::string& path) = 0;
  // Reads a whole file; 0 or the error code.
  virtual int ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) = 0;
  // A file's modification time (seconds since 1970, UTC); nullopt when unknown.
  virtual std::optional<std::int64_t> FileModified(const std::string& path) = 0;
  // Opens a file for reading; null with error set on failure.
  virtual std::unique_ptr<TReadOnlyFile> OpenReadOnly(const std::string& path, int& error) = 0;
  // The entries of a folder in the order the file system returns them,
  // without "." and ".."; empty when the folder cannot be read.
  virtual std::vector<TDirEntry> ListDirectory(const std::string& folder) = 0;

  // Copies src to dst without ever replacing an existing dst: the copy is
  // written under a temporary name beside dst and published onto dst only
  // when complete (EEXIST when dst exists then). A failure removes the
  // temporary file. 0 or the error code.
  int CopyFileNoOverwrite(const std::string& src, const std::string& dst) {
    return CopyFileNoOverwrite(src, dst, TWriteOptions{});
  }
  virtual int CopyFileNoOverwrite(const std::string& src, const std::string& dst,
                                  const TWriteOptions& options) = 0;
  // Writes a new file dst under the same rules from bytes that arrive piece
  // by piece: fill hands each piece to the sink it is given (which answers 0
  // or an error code, the error ending the fill) and answers 0 or an error
  // code of its own. Nothing is left of a failed fill.
  using TWriteSink = std::function<int(std::span<const std::uint8_t> bytes)>;
  using TFill = std::function<int(const TWriteSink& sink)>;
  virtual int WriteStreamNoOverwrite(const std::string& dst, const TFill& fill,
                                     const TWriteOptions& options) = 0;
  // Writes bytes as a new file dst under the same rules as CopyFileNoOverwrite.
  int WriteFileNoOverwrite(const std::string& dst, std::span<const std::uint8_t> bytes) {
    return WriteFileNoOverwrite(dst, bytes, TWriteOptions{});
  }
  virtual int WriteFileNoOverwrite(const std::string& dst, std::span<const std::uint8_t> bytes,
                                   const TWriteOptions& options) = 0;
  // Writes bytes as dst, replacing an existing dst atomically (local copies
  // of device files). 0 or the error code.
  virtual int WriteFileReplace(const std::string& dst, std::span<const std::uint8_t> bytes) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;
  // Creates a folder with all missing parents; true when it exists afterwards.
  virtual bool CreateDirectories(const std::string& path) = 0;

  // Asks that everything a transfer wrote into folder (the files named, all
  // in it) be on the disk, not in the system's cache: POSIX flushes the
  // folder's whole file system, Windows each file. 0 or the error code.
  virtual int FlushWritten(const std::string& folder, const std::vector<std::string>& files) = 0;
  // Removes the temporary files (".~ip*.tmp") that writes of this program
  // left in folder when they were killed, and that no running write owns:
  // a write holds its temporary file locked (POSIX) or open without sharing
  // (Windows) until it ends; under Windows files younger than a minute are
  // left to the write that may just have made them. Other files are never
  // touched.
  // Answers how many were removed.
  virtual int RemoveStaleTempFiles(const std::string& folder) = 0;
  // A new folder of the user's own, readable by nobody else, for private
  // working copies; empty on failure. The caller removes it.
  virtual std::string MakePrivateFolder(const std::string& prefix) = 0;
  // Removes an empty folder.
  virtual bool RemoveFolder(const std::string& path) = 0;
  // A unique name in the temporary folder beginning with prefix; the file was
  // created to reserve the name and deleted again. Empty on failure.
  virtual std::string MakeTempName(const std::string& prefix) = 0;
  // The user's pictures folder with a trailing separator, or empty.
  virtual std::string PicturesFolder() = 0;
  // Free bytes for an unprivileged user on the file system that holds path
  // (or its nearest existing ancestor); -1 when it cannot be queried,
  // kFreeSpaceUnknown when the file system tells no size.
  virtual std::int64_t FreeSpace(const std::string& path) = 0;
  // The limits of the file system that holds path (or its nearest existing
  // ancestor); all unset when it cannot be told.
  virtual TFileSystemLimits FileSystemLimits(const std::string& path) = 0;
  // The mount point of the file system that holds path (or its nearest
  // existing ancestor); empty when unknown.
  virtual std::string MountPointOf(const std::string& path) = 0;
  // Whether path (or its nearest existing ancestor) lies on the file system of
  // the folder root, or under root.
  virtual bool IsOnSameVolume(const std::string& path, const std::string& root) = 0;

  // The hidden window of device-change messages (Windows); null where the
  // mount-table monitor delivers them instead.
  virtual std::unique_ptr<TDeviceWindow> CreateDeviceWindow(TDeviceWindow::THandler handler) = 0;
  // Whether the music manager's window is open, and asking its background
  // helper to quit (Windows only; false and nothing elsewhere).
  virtual bool IsItunesRunning() = 0;
  virtual void CloseItunesHelper() = 0;

  // Unmounts the block device of a mount (udisksctl on POSIX; on Windows the
  // volume lock and dismount).
  virtual TUnmountResult Unmount(const TMountEntry& mount) = 0;
  // Powers off the disk that holds the mount's block device (Windows: allows
  // media removal and ejects the volume that Unmount dismounted).
  virtual bool PowerOff(const TMountEntry& mount) = 0;
  virtual void Sleep(unsigned milliseconds) = 0;
};

// The platform of the machine the program runs on.
std::unique_ptr<TPlatform> CreateNativePlatform();

// The entries of a /proc/self/mountinfo text in table order; lines that do
// not have the fields of the format are passed over.
std::vector<TMountEntry> ParseMountInfo(std::string_view text);

}  // namespace quill
