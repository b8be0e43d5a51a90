#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/platform/platform.h"

namespace quill::testing {

// The native platform for files, with mounts, volumes, eject and faults made
// up by the test. File operations run on real temporary folders; the fault
// switches make them fail the way devices and disks do.
class TFakePlatform : public TPlatform {
public:
  TFakePlatform();

  // The made-up mount table and which mounts count as removable.
  std::vector<TMountEntry> Mounts;
  std::set<std::string> RemovableMountPoints;
  // Free space by mount point; FreeSpace answers for the mount point of the
  // path (the longest Mounts entry it lies under), else DefaultFreeSpace.
  std::map<std::string, std::int64_t> FreeBytes;
  std::int64_t DefaultFreeSpace = std::int64_t{1} << 40;
  std::string Pictures;  // PicturesFolder's answer
  // FileSystemLimits's answer for every path when set, else the native one's.
  std::optional<TFileSystemLimits> Limits;

  // Eject: results of the successive unmount calls (Ok once the list runs out).
  std::vector<TUnmountResult> UnmountResults;
  bool PowerOffResult = true;
  int UnmountCalls = 0;
  int PowerOffCalls = 0;
  std::vector<std::string> UnmountedSources;  // Source of each unmount call
  std::vector<unsigned> Sleeps;

  // Faults. A counter of 0 is off; n makes the n-th call (counting from 1)
  // of that kind fail with FaultError.
  std::atomic<int> FailReadAtCall{0};   // ReadAt of opened files
  std::atomic<int> ShortReadAtCall{0};  // ReadAt returns half the bytes
  std::atomic<int> FailWriteAtCall{0};  // WriteFileNoOverwrite / CopyFileNoOverwrite / WriteStream
  std::atomic<int> FailOpenAtCall{0};   // OpenReadOnly / ReadWholeFile
  int FaultError = kErrorRead;
  // Called before every file operation with its kind and path; may throw or
  // change the fake (a device unplugged mid-transfer).
  std::function<void(const std::string& op, const std::string& path)> BeforeFileOp;

  // Paths opened for reading (whole-file reads, opened files, copy sources)
  // and paths written (every attempt, failed ones too), for the checks of a test.
  std::vector<std::string> OpenedForRead();
  std::vector<std::string> Written();

  char Separator() const override;
  std::vector<TMountEntry> ReadMounts() override;
  bool IsRemovableMount(const TMountEntry& mount) override;
  bool DirectoryExists(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  std::optional<std::uint64_t> FileSize(const std::string& path) override;
  std::optional<std::int64_t> FileModified(const std::string& path) override;
  int ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) override;
  std::unique_ptr<TReadOnlyFile> OpenReadOnly(const std::string& path, int& error) override;
  std::vector<TDirEntry> ListDirectory(const std::string& folder) override;
  using TPlatform::CopyFileNoOverwrite;
  int CopyFileNoOverwrite(const std::string& src, const std::string& dst,
                          const TWriteOptions& options) override;
  int WriteStreamNoOverwrite(const std::string& dst, const TFill& fill,
                             const TWriteOptions& options) override;
  std::string MakePrivateFolder(const std::string& prefix) override;
  int RemoveStaleTempFiles(const std::string& folder) override;
  int FlushWritten(const std::string& folder, const std::vector<std::string>& files) override;
  int FlushError = 0;  // FlushWritten's answer when set
  bool RemoveFolder(const std::string& path) override;
  using TPlatform::WriteFileNoOverwrite;
  int WriteFileNoOverwrite(const std::string& dst, std::span<const std::uint8_t> bytes,
                           const TWriteOptions& options) override;
  int WriteFileReplace(const std::string& dst, std::span<const std::uint8_t> bytes) override;
  bool DeleteFile(const std::string& path) override;
  bool CreateDirectories(const std::string& path) override;
  std::string MakeTempName(const std::string& prefix) override;
  std::string PicturesFolder() override;
  std::int64_t FreeSpace(const std::string& path) override;
  TFileSystemLimits FileSystemLimits(const std::string& path) override;
  std::string MountPointOf(const std::string& path) override;
  bool IsOnSameVolume(const std::string& path, const std::string& root) override;
  std::unique_ptr<TDeviceWindow> CreateDeviceWindow(TDeviceWindow::THandler) override {
    return nullptr;
  }
  bool IsItunesRunning() override { return false; }
  void CloseItunesHelper() override {}
  TUnmountResult Unmount(const TMountEntry& mount) override;
  bool PowerOff(const TMountEntry& mount) override;
  void Sleep(unsigned milliseconds) override;

private:
  bool Trip(std::atomic<int>& counter, std::atomic<int>& calls);
  void Note(const std::string& op, const std::string& path);
  std::unique_ptr<TPlatform> native_;
  std::mutex mutex_;
  std::vector<std::string> opened_;
  std::vector<std::string> written_;
  std::atomic<int> read_calls_{0}, short_calls_{0}, write_calls_{0}, open_calls_{0};
  friend class TFakeFile;
};

}  // namespace quill::testing
