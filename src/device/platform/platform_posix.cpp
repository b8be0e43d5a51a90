#include "device/platform/platform.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

extern char** environ;

namespace quill {
namespace {

class TFd {
public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes and reports the error of close itself: a network or USB file
  // system may report a failed write only there.
  int Close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return 0;
    return ::close(fd) == 0 ? 0 : errno;
  }

private:
  int fd_;
};

// open() with EINTR retried; the errno value in error on failure.
int OpenFile(const std::string& path, int flags, int& error, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0) return fd;
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

// Reads up to size bytes at offset, going on after partial reads; fewer bytes
// only at the end of the file. -1 with error set on failure.
std::int64_t ReadFully(int fd, std::uint64_t offset, std::uint8_t* buffer, std::size_t size,
                       int& error) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

int WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

class TPosixFile : public TReadOnlyFile {
public:
  explicit TPosixFile(int fd) : fd_(fd) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    int error = 0;
    const std::int64_t n =
        ReadFully(fd_.Get(), offset, static_cast<std::uint8_t*>(buffer), size, error);
    if (n < 0) error_ = error;
    return n;
  }
  int Error() const override { return error_; }

private:
  TFd fd_;
  int error_ = 0;
};

bool StatPath(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path itself when it exists, else its nearest existing ancestor ("." or
// "/" at the top): a destination folder is often not created yet.
std::string NearestExisting(std::string path) {
  struct stat st;
  while (!path.empty()) {
    if (StatPath(path, st)) return path;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == "/") return path;
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return ".";
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool IsUnder(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 engine(
      std::random_device{}() ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string suffix;
  for (int i = 0; i < 8; ++i) suffix += kChars[engine() % (sizeof(kChars) - 1)];
  return suffix;
}

// A new file beside dst, created exclusively so that no other writer shares
// it. The short fixed shape keeps it within NAME_MAX whatever dst is called.
int CreateTempBeside(const std::string& dst, std::string& tempPath, TFd& fd) {
  const std::string folder = ParentOf(dst);
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = (folder == "/" ? std::string() : folder) + "/.~ip" + RandomSuffix() + ".tmp";
    int error = 0;
    const int handle = OpenFile(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, error, 0666);
    if (handle >= 0) {
      // Held until the file is published or removed: a later transfer tells
      // a live write's file from one a killed write left by this lock.
      fd.Reset(handle);
      // Another transfer may have taken the file for a killed write's before
      // the lock was held: it holds the lock while it removes the file, and
      // the name is gone afterwards. Another name is tried then.
      struct stat mine;
      struct stat named;
      const bool locked = ::flock(handle, LOCK_EX | LOCK_NB) == 0;
      // A file system without locks: no other transfer can tell it either.
      if (!locked && errno != EWOULDBLOCK) return 0;
      if (locked && ::fstat(handle, &mine) == 0 && ::lstat(tempPath.c_str(), &named) == 0 &&
          mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        return 0;
      fd.Reset();
      continue;
    }
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

bool LinkUnsupported(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK ||
         error == ENOSYS;
}

// Puts the finished temporary file onto dst without replacing an existing
// dst. link() is atomic and refuses an existing name; FAT and exFAT have no
// hard links, where renameat2 does the same; the last resort is a test and a
// rename, which only a concurrent writer of the same name can defeat.
int PublishNoReplace(const std::string& temp, const std::string& dst) {
  int error = 0;
  while (::link(temp.c_str(), dst.c_str()) != 0) {
    if (errno == EINTR) continue;
    error = errno;
    break;
  }
  if (error == 0) {
    ::unlink(temp.c_str());
    return 0;
  }
  if (!LinkUnsupported(error)) return error;
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return 0;
  error = errno;
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP) return error;
  struct stat st;
  if (::lstat(dst.c_str(), &st) == 0) return EEXIST;
  return ::rename(temp.c_str(), dst.c_str()) == 0 ? 0 : errno;
}

bool ExistsNoFollow(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// An unnamed file in dst's folder (O_TMPFILE) that linkat names dst once it
// is complete: fewer system calls than a named temporary file, no name to
// remove, and a crash leaves nothing behind. linkat refuses an existing dst.
// kNoUnnamedFile where the file system or the kernel has no unnamed files
// (FAT, network file systems), or the folder cannot take one: the caller
// then goes the named way, which reports its own errors.
constexpr int kNoUnnamedFile = -1;

// Starts writing a finished file out to its disk without waiting: the
// flush before "Done" then waits for little more than the last files, and
// the disk works while the next photos are read. A file system that cannot
// is flushed at the end all the same. Larger files (originals, videos) are
// left to the kernel's own write-back: starting theirs here made the copy
// wait for the disk's queue (0.8 of cp's throughput, 1.0 without).
void StartWriteBack(int fd) {
#ifdef SYNC_FILE_RANGE_WRITE
  constexpr off_t kLargestEarlyWriteBack = 1 << 20;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size <= kLargestEarlyWriteBack)
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

template <typename TFill>
int WriteUnnamedThenLink(const std::string& dst, TFill& fill) {
  // Without /proc the file could not be named. Asked before anything is
  // written: fill runs once (a copy's source is read from where it stands),
  // so the named way must not follow a fill.
  static const bool canName = ExistsNoFollow("/proc/self/fd");
  if (!canName) return kNoUnnamedFile;
  int error = 0;
  TFd fd(OpenFile(ParentOf(dst), O_TMPFILE | O_WRONLY | O_CLOEXEC, error, 0666));
  if (!fd.Valid()) return kNoUnnamedFile;
  error = fill(fd.Get());
  if (error != 0) return error;
  StartWriteBack(fd.Get());
  const std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
  while (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, dst.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (errno == EINTR) continue;
    return errno;
  }
  error = fd.Close();
  if (error != 0) ::unlink(dst.c_str());
  return error;
}

// A named temporary file beside dst, filled and then published (renamed
// over dst when replace, else given dst's name only if it is free).
template <typename TFill>
int WriteNamedThenPublish(const std::string& dst, bool replace, TFill& fill) {
  std::string temp;
  TFd fd;
  int error = CreateTempBeside(dst, temp, fd);
  if (error != 0) return error;
  error = fill(fd.Get());
  if (error == 0) StartWriteBack(fd.Get());
  // Published while the file is still open: its lock tells a transfer that
  // clears killed writes' files that this one is live until it has its name.
  if (error == 0) {
    if (replace) {
      if (::rename(temp.c_str(), dst.c_str()) != 0) error = errno;
    } else {
      error = PublishNoReplace(temp, dst);
    }
    if (error != 0) {
      ::unlink(temp.c_str());
      return error;
    }
    error = fd.Close();
    // A write the close reports lost: a new name does not keep what may be
    // short (a replaced file's old bytes are gone either way).
    if (error != 0 && !replace) ::unlink(dst.c_str());
    return error;
  }
  ::unlink(temp.c_str());
  return error;
}

// How a write that must not replace learns that dst exists.
enum class TExistingName {
  LookFirst,  // before any work: a copy may be large
  LookAfter,  // from the publishing step, and from a failure: saves a
              // look-up per file where new names are the rule
};

// Writes a temporary file beside dst with fill, then publishes it. The
// temporary file never outlives a failure.
template <typename TFill>
int WriteAtomically(const std::string& dst, bool replace, TFill fill,
                    TExistingName existing = TExistingName::LookFirst) {
  if (!replace && existing == TExistingName::LookFirst && ExistsNoFollow(dst)) return EEXIST;
  if (!replace) {
    int result = WriteUnnamedThenLink(dst, fill);
    if (result == kNoUnnamedFile) result = WriteNamedThenPublish(dst, false, fill);
    // A folder that takes no new file may still hold the name: that is
    // the answer the caller acts on.
    if (result != 0 && result != EEXIST && ExistsNoFollow(dst)) return EEXIST;
    return result;
  }
  return WriteNamedThenPublish(dst, true, fill);
}

// Sets an open file's access and modification times to seconds since 1970;
// a file system that keeps no such time (or a coarse one) is no failure.
void SetModified(int fd, std::int64_t seconds) {
  timespec times[2] = {};
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  ::futimens(fd, times);
}

int ReadAllFrom(int fd, std::vector<std::uint8_t>& out) {
  out.clear();
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  // Files of /proc report size 0, so read until the end whatever fstat said.
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    out.insert(out.end(), chunk, chunk + n);
  }
}

std::string ReadSmallFile(const std::string& path) {
  int error = 0;
  TFd fd(OpenFile(path, O_RDONLY | O_CLOEXEC, error));
  if (!fd.Valid()) return {};
  std::vector<std::uint8_t> bytes;
  if (ReadAllFrom(fd.Get(), bytes) != 0) return {};
  return std::string(bytes.begin(), bytes.end());
}

bool ContainsNoCase(const std::string& text, std::string_view word) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < word.size() && lower(text[i + k]) == word[k]) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

// Runs a program found on PATH without a shell; answers its exit status (-1
// when it could not run or did not exit) and what it wrote to stderr.
int RunProgram(const std::vector<std::string>& args, std::string& errText) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  TFd readEnd(pipeFds[0]);
  TFd writeEnd(pipeFds[1]);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 2);
  std::vector<std::string> storage(args);
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.Reset();
  if (spawned != 0) return -1;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (errText.size() < 65536) errText.append(chunk, static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole disk that holds a partition's block device: the sysfs parent
// when that is a block device too, else the device itself.
std::string ParentDisk(const std::string& source) {
  std::string device = RealPath(source);
  if (device.empty()) device = source;
  const std::string sys = RealPath("/sys/class/block/" + BaseName(device));
  if (sys.empty()) return device;
  const std::string parent = BaseName(ParentOf(sys));
  struct stat st;
  if (!parent.empty() && StatPath("/sys/class/block/" + parent, st)) return "/dev/" + parent;
  return device;
}

bool NeverRemovableType(const std::string& type) {
  static const char* const kTypes[] = {"nfs", "nfs4", "cifs", "smb3",      "smbfs",   "ncpfs",
                                       "afs", "ceph", "9p",   "glusterfs", "iso9660", "udf"};
  for (const char* t : kTypes) {
    if (type == t) return true;
  }
  // fuse.sshfs and its kind serve no block device; fuseblk (exFAT, NTFS) does.
  return type.rfind("fuse.", 0) == 0;
}

// The kernel writes space, tab, newline and backslash as \ooo in octal.
std::string DecodeMountEscapes(std::string_view field) {
  const auto octal = [&](std::size_t k) { return field[k] >= '0' && field[k] <= '7'; };
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value < 256) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// Magic numbers of statfs's f_type (linux/magic.h, whose older copies lack
// the exFAT one).
constexpr long kMsdosSuperMagic = 0x4d44;
constexpr long kExfatSuperMagic = 0x2011BAB0;

// The limits a file system's type name stands for: FAT holds files up to
// 4 GiB less one byte, and FAT and exFAT refuse DOS's reserved characters.
TFileSystemLimits LimitsOfType(std::string type) {
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  TFileSystemLimits limits;
  limits.Name = type;
  static const char* const kFatTypes[] = {"vfat",  "msdos", "umsdos", "fat",
                                          "fat12", "fat16", "fat32",  "fusefat"};
  if (std::find(std::begin(kFatTypes), std::end(kFatTypes), type) != std::end(kFatTypes)) {
    limits.MaxFileSize = 0xFFFFFFFFull;
    limits.RefusesDosNames = true;
  } else if (type == "exfat") {
    limits.RefusesDosNames = true;
  }
  return limits;
}

// What the block device major:minor holds, from udev's database (readable by
// every user) or else from its superblock (where the device is readable).
std::string ProbeFsType(const std::string& source, const std::string& devNumber) {
  if (!devNumber.empty()) {
    const std::string data = ReadSmallFile("/run/udev/data/b" + devNumber);
    const std::string_view key = "E:ID_FS_TYPE=";
    const std::size_t at = data.find(key);
    if (at != std::string::npos && (at == 0 || data[at - 1] == '\n')) {
      const std::size_t start = at + key.size();
      const std::size_t end = data.find('\n', start);
      const std::string type = data.substr(start, end == std::string::npos ? end : end - start);
      if (!type.empty()) return type;
    }
  }
  if (source.empty() || source[0] != '/') return {};
  const std::unique_ptr<std::remove_pointer_t<blkid_probe>, decltype(&blkid_free_probe)> probe(
      blkid_new_probe_from_filename(source.c_str()), &blkid_free_probe);
  if (!probe) return {};
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE);
  const char* type = nullptr;
  if (blkid_do_safeprobe(probe.get()) != 0) return {};
  if (blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0 || !type) return {};
  return type;
}

class TPosixPlatform : public TPlatform {
public:
  char Separator() const override { return '/'; }

  std::vector<TMountEntry> ReadMounts() override {
    return ParseMountInfo(ReadSmallFile("/proc/self/mountinfo"));
  }

  bool IsRemovableMount(const TMountEntry& mount) override {
    if (mount.Source.rfind("/dev/", 0) != 0 || NeverRemovableType(mount.FsType)) return false;
    std::string sys;
    if (!mount.DevNumber.empty()) sys = RealPath("/sys/dev/block/" + mount.DevNumber);
    if (sys.empty()) {
      // Some file systems (btrfs) report a device number of their own.
      const std::string device = RealPath(mount.Source);
      if (!device.empty()) sys = RealPath("/sys/class/block/" + BaseName(device));
    }
    if (sys.empty()) return false;
    if (sys.find("/usb") != std::string::npos) return true;
    auto removable = [](const std::string& folder) {
      const std::string text = ReadSmallFile(folder + "/removable");
      return !text.empty() && text[0] == '1';
    };
    return removable(sys) || removable(ParentOf(sys));
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && StatPath(path, st) && S_ISDIR(st.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && StatPath(path, st) && !S_ISDIR(st.st_mode);
  }

  std::optional<std::int64_t> FileModified(const std::string& path) override {
    struct stat st;
    if (path.empty() || !StatPath(path, st) || S_ISDIR(st.st_mode)) return std::nullopt;
    return static_cast<std::int64_t>(st.st_mtime);
  }

  std::optional<std::uint64_t> FileSize(const std::string& path) override {
    struct stat st;
    if (path.empty() || !StatPath(path, st) || S_ISDIR(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }

  int ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out) override {
    out.clear();
    int error = 0;
    TFd fd(OpenFile(path, O_RDONLY | O_CLOEXEC, error));
    if (!fd.Valid()) return error;
    struct stat st;
    if (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    return ReadAllFrom(fd.Get(), out);
  }

  std::unique_ptr<TReadOnlyFile> OpenReadOnly(const std::string& path, int& error) override {
    const int fd = OpenFile(path, O_RDONLY | O_CLOEXEC, error);
    if (fd < 0) return nullptr;
    return std::make_unique<TPosixFile>(fd);
  }

  std::vector<TDirEntry> ListDirectory(const std::string& folder) override {
    std::vector<TDirEntry> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return entries;
    while (const dirent* item = ::readdir(dir)) {
      const std::string name = item->d_name;
      if (name == "." || name == "..") continue;
      TDirEntry entry;
      entry.Name = name;
      if (item->d_type == DT_REG || item->d_type == DT_DIR) {
        entry.IsRegular = item->d_type == DT_REG;
        entry.IsDirectory = item->d_type == DT_DIR;
      } else if (item->d_type == DT_UNKNOWN || item->d_type == DT_LNK) {
        struct stat st;
        if (::fstatat(::dirfd(dir), item->d_name, &st, 0) == 0) {
          entry.IsRegular = S_ISREG(st.st_mode);
          entry.IsDirectory = S_ISDIR(st.st_mode);
        }
      }
      entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    return entries;
  }

  using TPlatform::CopyFileNoOverwrite;
  int CopyFileNoOverwrite(const std::string& src, const std::string& dst,
                          const TWriteOptions& options) override {
    int error = 0;
    TFd in(OpenFile(src, O_RDONLY | O_CLOEXEC, error));
    if (!in.Valid()) return error;
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    return WriteAtomically(dst, false, [&](int out) {
      if (options.OwnerOnly) ::fchmod(out, 0600);
      // The kernel copies a regular file without bringing it through our
      // memory (as cp does); the buffer loop takes over where it cannot, and
      // for files (such as /proc's) whose size says nothing.
      if (S_ISREG(st.st_mode) && st.st_size > 0) {
        for (;;) {
          const ssize_t n = ::copy_file_range(in.Get(), nullptr, out, nullptr, 1 << 30, 0);
          if (n > 0) continue;
          if (n == 0) break;
          if (errno == EINTR) continue;
          if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
              errno == EBADF)
            break;
          return errno;
        }
      }
      std::vector<std::uint8_t> buffer(1 << 20);
      for (;;) {
        const ssize_t n = ::read(in.Get(), buffer.data(), buffer.size());
        if (n < 0) {
          if (errno == EINTR) continue;
          return errno;
        }
        if (n == 0) break;
        if (const int e = WriteAll(out, buffer.data(), static_cast<std::size_t>(n)); e != 0)
          return e;
      }
      // A copy keeps the source's times, as a file copy does on the desktop;
      // FAT stores them coarsely, so a failure here is no failure of the copy.
      if (options.Modified) {
        SetModified(out, *options.Modified);
      } else {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
      }
      return 0;
    });
  }

  int WriteStreamNoOverwrite(const std::string& dst, const TFill& fill,
                             const TWriteOptions& options) override {
    return WriteAtomically(dst, false, [&](int out) {
      if (options.OwnerOnly) ::fchmod(out, 0600);
      const int error = fill([out](std::span<const std::uint8_t> bytes) {
        return WriteAll(out, bytes.data(), bytes.size());
      });
      if (error != 0) return error;
      if (options.Modified) SetModified(out, *options.Modified);
      return 0;
    });
  }

  using TPlatform::WriteFileNoOverwrite;
  int WriteFileNoOverwrite(const std::string& dst, std::span<const std::uint8_t> bytes,
                           const TWriteOptions& options) override {
    return WriteAtomically(
        dst, false,
        [&](int out) {
          if (options.OwnerOnly) ::fchmod(out, 0600);
          const int error = WriteAll(out, bytes.data(), bytes.size());
          if (error == 0 && options.Modified) SetModified(out, *options.Modified);
          return error;
        },
        TExistingName::LookAfter);
  }

  int WriteFileReplace(const std::string& dst, std::span<const std::uint8_t> bytes) override {
    return WriteAtomically(dst, true,
                           [&](int out) { return WriteAll(out, bytes.data(), bytes.size()); });
  }

  bool DeleteFile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  bool CreateDirectories(const std::string& path) override {
    if (path.empty()) return false;
    if (DirectoryExists(path)) return true;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::string parent = ParentOf(trimmed);
    if (parent != trimmed && !CreateDirectories(parent)) return false;
    if (::mkdir(trimmed.c_str(), 0777) != 0 && errno != EEXIST) return false;
    return DirectoryExists(trimmed);
  }

  int FlushWritten(const std::string& folder, const std::vector<std::string>&) override {
    int error = 0;
    TFd fd(OpenFile(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, error));
    if (!fd.Valid()) return error;
    // One call for the folder's whole file system: the files' data, their
    // names and the folder itself, cheaper than a flush per file.
    if (::syncfs(fd.Get()) != 0) return errno;
    return fd.Close();
  }

  int RemoveStaleTempFiles(const std::string& folder) override {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(dir)) {
      const std::string name = item->d_name;
      // Exactly the shape CreateTempBeside gives: ".~ip", 8 characters, ".tmp".
      if (name.size() == 16 && name.compare(0, 4, ".~ip") == 0 && name.compare(12, 4, ".tmp") == 0)
        names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
      const std::string path = (folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1)
                                                                          : folder) + "/" + name;
      int error = 0;
      TFd fd(OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, error));
      if (!fd.Valid()) continue;
      struct stat st;
      if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      // A write that still runs holds the lock.
      if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
      if (::unlink(path.c_str()) == 0) ++removed;
    }
    return removed;
  }

  std::string MakePrivateFolder(const std::string& prefix) override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    // mkdtemp makes the folder with mode 0700, owned by the user.
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
  }

  bool RemoveFolder(const std::string& path) override { return ::rmdir(path.c_str()) == 0; }

  std::string MakeTempName(const std::string& prefix) override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return {};
    ::close(fd);
    ::unlink(buffer.data());
    return buffer.data();
  }

  std::string PicturesFolder() override {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return {};
    const std::string homeDir = home;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string configDir = config && config[0] == '/' ? config : homeDir + "/.config";
    std::string folder =
        PicturesFromUserDirs(ReadSmallFile(configDir + "/user-dirs.dirs"), homeDir);
    if (folder.empty()) folder = homeDir + "/Pictures";
    if (folder.back() != '/') folder += '/';
    return folder;
  }

  std::int64_t FreeSpace(const std::string& path) override {
    struct statvfs vfs;
    if (::statvfs(NearestExisting(path).c_str(), &vfs) != 0) return -1;
    if (vfs.f_blocks == 0) return kFreeSpaceUnknown;
    const unsigned long long bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    const auto limit = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(bytes > limit ? limit : bytes);
  }

  TFileSystemLimits FileSystemLimits(const std::string& path) override {
    const std::string existing = NearestExisting(path);
    struct statfs fs;
    if (::statfs(existing.c_str(), &fs) != 0) return {};
    if (fs.f_type == kMsdosSuperMagic) return LimitsOfType("vfat");
    if (fs.f_type == kExfatSuperMagic) return LimitsOfType("exfat");
    const std::optional<TMountEntry> mount = MountOf(existing);
    if (!mount) return {};
    // A FUSE mount names its file system as a subtype ("fuse.fusefat"), or
    // not at all (exfat-fuse's "fuseblk"): its block device tells then.
    std::string type = mount->FsType;
    const std::size_t dot = type.find('.');
    if (type.starts_with("fuse") && dot != std::string::npos) {
      type = type.substr(dot + 1);
    } else if (type == "fuseblk") {
      type = ProbeFsType(mount->Source, mount->DevNumber);
    }
    return LimitsOfType(type);
  }

  std::string MountPointOf(const std::string& path) override {
    const std::optional<TMountEntry> mount = MountOf(path);
    return mount ? mount->MountPoint : std::string();
  }

  bool IsOnSameVolume(const std::string& path, const std::string& root) override {
    const std::string existing = NearestExisting(path);
    struct stat a, b;
    if (StatPath(existing, a) && StatPath(root, b) && a.st_dev == b.st_dev) return true;
    const std::string resolved = RealPath(existing);
    const std::string resolvedRoot = RealPath(root);
    return !resolved.empty() && !resolvedRoot.empty() && IsUnder(resolved, resolvedRoot);
  }

  // Volumes come and go through the mount-table monitor; the music manager
  // has no window here.
  std::unique_ptr<TDeviceWindow> CreateDeviceWindow(TDeviceWindow::THandler) override {
    return nullptr;
  }
  bool IsItunesRunning() override { return false; }
  void CloseItunesHelper() override {}

  TUnmountResult Unmount(const TMountEntry& mount) override {
    std::string errText;
    const int status = RunProgram({"udisksctl", "unmount", "-b", mount.Source}, errText);
    if (status == 0) return TUnmountResult::Ok;
    return ContainsNoCase(errText, "busy") ? TUnmountResult::Busy : TUnmountResult::Failed;
  }

  bool PowerOff(const TMountEntry& mount) override {
    std::string errText;
    return RunProgram({"udisksctl", "power-off", "-b", ParentDisk(mount.Source)}, errText) == 0;
  }

  void Sleep(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

private:
  // The mount that holds path (or its nearest existing ancestor): the
  // longest mount point it lies under, the later one of equal mounts.
  std::optional<TMountEntry> MountOf(const std::string& path) {
    const std::string resolved = RealPath(NearestExisting(path));
    if (resolved.empty()) return std::nullopt;
    std::optional<TMountEntry> best;
    for (TMountEntry& mount : ReadMounts()) {
      if (IsUnder(resolved, mount.MountPoint) &&
          (!best || mount.MountPoint.size() >= best->MountPoint.size()))
        best = std::move(mount);
    }
    return best;
  }

  // XDG_PICTURES_DIR of a user-dirs.dirs text: "$HOME/..." or an absolute
  // path, in double quotes, as xdg-user-dirs writes it; empty when absent.
  static std::string PicturesFromUserDirs(const std::string& text, const std::string& home) {
    std::string found;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + start, end - start);
      start = end + 1;
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
      if (line.substr(0, kKey.size()) != kKey) continue;
      line.remove_prefix(kKey.size());
      if (line.empty() || line.front() != '"') continue;
      line.remove_prefix(1);
      std::string value;
      bool closed = false;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          value += line[++i];
        } else if (line[i] == '"') {
          closed = true;
          break;
        } else {
          value += line[i];
        }
      }
      if (!closed) continue;
      if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
        found = home + value.substr(5);
      } else if (!value.empty() && value[0] == '/') {
        found = value;
      }
    }
    return found;
  }
};

}  // namespace

std::vector<TMountEntry> ParseMountInfo(std::string_view text) {
  std::vector<TMountEntry> mounts;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
      const std::size_t space = line.find(' ', pos);
      const std::size_t stop = space == std::string_view::npos ? line.size() : space;
      if (stop > pos) fields.push_back(line.substr(pos, stop - pos));
      pos = stop + 1;
    }
    // id, parent, major:minor, root, mount point, options, optional fields
    // ending with "-", then type, source and super options.
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;
    TMountEntry entry;
    entry.DevNumber = std::string(fields[2]);
    entry.MountPoint = DecodeMountEscapes(fields[4]);
    entry.FsType = DecodeMountEscapes(fields[separator + 1]);
    entry.Source = DecodeMountEscapes(fields[separator + 2]);
    mounts.push_back(std::move(entry));
  }
  return mounts;
}

const int kErrorNameTaken = EEXIST;
const int kErrorRetryOnce = EIO;
const int kErrorUnsafeName = EINVAL;
const int kErrorAccessDenied = EACCES;
const int kErrorRead = EIO;
const int kErrorBadData = EINVAL;
const int kErrorFileTooLarge = EFBIG;

int LastSystemError() { return errno; }

std::unique_ptr<TPlatform> CreateNativePlatform() { return std::make_unique<TPosixPlatform>(); }

}  // namespace quill
