#include "support/fake_platform.h"

#include <algorithm>

namespace quill::testing {

namespace {

bool Under(const std::string& path, const std::string& root) {
  if (root.empty()) return false;
  if (root == "/") return !path.empty() && path[0] == '/';
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return path == base || (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
                          path[base.size()] == '/');
}

}  // namespace

// Applies the read faults of the fake to a native file.
class TFakeFile : public TReadOnlyFile {
public:
  TFakeFile(TFakePlatform& owner, std::unique_ptr<TReadOnlyFile> file, std::string path)
      : owner_(owner), file_(std::move(file)), path_(std::move(path)) {}

  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    owner_.Note("readat", path_);
    // Both counters count every read, so that each names the n-th ReadAt.
    const bool fail = owner_.Trip(owner_.FailReadAtCall, owner_.read_calls_);
    const bool shortRead = owner_.Trip(owner_.ShortReadAtCall, owner_.short_calls_);
    if (fail) {
      error_ = owner_.FaultError;
      return -1;
    }
    const std::int64_t n = file_->ReadAt(offset, buffer, shortRead ? size / 2 : size);
    if (n < 0) error_ = file_->Error();
    return n;
  }
  int Error() const override { return error_; }

private:
  TFakePlatform& owner_;
  std::unique_ptr<TReadOnlyFile> file_;
  std::string path_;
  int error_ = 0;
};

TFakePlatform::TFakePlatform() : native_(CreateNativePlatform()) {}

bool TFakePlatform::Trip(std::atomic<int>& counter, std::atomic<int>& calls) {
  const int call = ++calls;
  const int at = counter.load();
  return at != 0 && call == at;
}

void TFakePlatform::Note(const std::string& op, const std::string& path) {
  if (BeforeFileOp) BeforeFileOp(op, path);
}

std::vector<std::string> TFakePlatform::OpenedForRead() {
  std::lock_guard lock(mutex_);
  return opened_;
}

std::vector<std::string> TFakePlatform::Written() {
  std::lock_guard lock(mutex_);
  return written_;
}

char TFakePlatform::Separator() const { return '/'; }

std::vector<TMountEntry> TFakePlatform::ReadMounts() { return Mounts; }

bool TFakePlatform::IsRemovableMount(const TMountEntry& mount) {
  return RemovableMountPoints.count(mount.MountPoint) != 0;
}

bool TFakePlatform::DirectoryExists(const std::string& path) {
  Note("exists", path);
  return native_->DirectoryExists(path);
}

bool TFakePlatform::FileExists(const std::string& path) {
  Note("exists", path);
  return native_->FileExists(path);
}

std::optional<std::uint64_t> TFakePlatform::FileSize(const std::string& path) {
  Note("size", path);
  return native_->FileSize(path);
}

std::optional<std::int64_t> TFakePlatform::FileModified(const std::string& path) {
  Note("stat", path);
  return native_->FileModified(path);
}

int TFakePlatform::ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  Note("read", path);
  {
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
  }
  if (Trip(FailOpenAtCall, open_calls_)) return FaultError;
  return native_->ReadWholeFile(path, out);
}

std::unique_ptr<TReadOnlyFile> TFakePlatform::OpenReadOnly(const std::string& path, int& error) {
  Note("open", path);
  {
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
  }
  if (Trip(FailOpenAtCall, open_calls_)) {
    error = FaultError;
    return nullptr;
  }
  auto file = native_->OpenReadOnly(path, error);
  if (!file) return nullptr;
  return std::make_unique<TFakeFile>(*this, std::move(file), path);
}

std::vector<TDirEntry> TFakePlatform::ListDirectory(const std::string& folder) {
  Note("list", folder);
  return native_->ListDirectory(folder);
}

int TFakePlatform::CopyFileNoOverwrite(const std::string& src, const std::string& dst,
                                       const TWriteOptions& options) {
  Note("copy", dst);
  {
    std::lock_guard lock(mutex_);
    opened_.push_back(src);
    written_.push_back(dst);
  }
  if (Trip(FailWriteAtCall, write_calls_)) return FaultError;
  return native_->CopyFileNoOverwrite(src, dst, options);
}

int TFakePlatform::WriteStreamNoOverwrite(const std::string& dst, const TFill& fill,
                                          const TWriteOptions& options) {
  Note("write", dst);
  {
    std::lock_guard lock(mutex_);
    written_.push_back(dst);
  }
  if (Trip(FailWriteAtCall, write_calls_)) return FaultError;
  return native_->WriteStreamNoOverwrite(dst, fill, options);
}

int TFakePlatform::FlushWritten(const std::string& folder, const std::vector<std::string>& files) {
  Note("flush", folder);
  if (FlushError != 0) return FlushError;
  return native_->FlushWritten(folder, files);
}

int TFakePlatform::RemoveStaleTempFiles(const std::string& folder) {
  return native_->RemoveStaleTempFiles(folder);
}

std::string TFakePlatform::MakePrivateFolder(const std::string& prefix) {
  return native_->MakePrivateFolder(prefix);
}

bool TFakePlatform::RemoveFolder(const std::string& path) { return native_->RemoveFolder(path); }

int TFakePlatform::WriteFileNoOverwrite(const std::string& dst,
                                        std::span<const std::uint8_t> bytes,
                                        const TWriteOptions& options) {
  Note("write", dst);
  {
    std::lock_guard lock(mutex_);
    written_.push_back(dst);
  }
  if (Trip(FailWriteAtCall, write_calls_)) return FaultError;
  return native_->WriteFileNoOverwrite(dst, bytes, options);
}

int TFakePlatform::WriteFileReplace(const std::string& dst, std::span<const std::uint8_t> bytes) {
  Note("replace", dst);
  {
    std::lock_guard lock(mutex_);
    written_.push_back(dst);
  }
  return native_->WriteFileReplace(dst, bytes);
}

bool TFakePlatform::DeleteFile(const std::string& path) {
  Note("delete", path);
  return native_->DeleteFile(path);
}

bool TFakePlatform::CreateDirectories(const std::string& path) {
  Note("mkdir", path);
  return native_->CreateDirectories(path);
}

std::string TFakePlatform::MakeTempName(const std::string& prefix) {
  return native_->MakeTempName(prefix);
}

std::string TFakePlatform::PicturesFolder() { return Pictures; }

std::string TFakePlatform::MountPointOf(const std::string& path) {
  std::string best;
  for (const TMountEntry& mount : Mounts) {
    if (Under(path, mount.MountPoint) && mount.MountPoint.size() > best.size())
      best = mount.MountPoint;
  }
  return best;
}

std::int64_t TFakePlatform::FreeSpace(const std::string& path) {
  const auto it = FreeBytes.find(MountPointOf(path));
  return it == FreeBytes.end() ? DefaultFreeSpace : it->second;
}

TFileSystemLimits TFakePlatform::FileSystemLimits(const std::string& path) {
  return Limits ? *Limits : native_->FileSystemLimits(path);
}

bool TFakePlatform::IsOnSameVolume(const std::string& path, const std::string& root) {
  if (Under(path, root)) return true;
  const std::string mount = MountPointOf(path);
  return !mount.empty() && mount == MountPointOf(root);
}

TUnmountResult TFakePlatform::Unmount(const TMountEntry& mount) {
  UnmountedSources.push_back(mount.Source);
  const std::size_t call = static_cast<std::size_t>(UnmountCalls++);
  return call < UnmountResults.size() ? UnmountResults[call] : TUnmountResult::Ok;
}

bool TFakePlatform::PowerOff(const TMountEntry&) {
  ++PowerOffCalls;
  return PowerOffResult;
}

void TFakePlatform::Sleep(unsigned milliseconds) { Sleeps.push_back(milliseconds); }

}  // namespace quill::testing
