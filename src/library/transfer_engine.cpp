#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "library/ipod_photo_db.h"
#include "support/text.h"

namespace quill {

namespace {

// Copy results the loops act on, in the platform's numbering: the error
// that earns one retry after a pause (a device busy for a moment), the
// answer of a copy onto a name that is taken, and the code logged for an
// item whose device name or path cannot be used safely.
const int& kRetryOnceError = kErrorRetryOnce;
const int& kNameTakenError = kErrorNameTaken;
const int& kUnsafeNameError = kErrorUnsafeName;
constexpr unsigned kRetryPauseMs = 2000;

// More failed items than this end a transfer routine.
constexpr int kMaxErrors = 30;
// Candidates of the series name, 1_name, 2_1_name ... tried before an item
// is given up.
constexpr int kMaxNameCandidates = 1000;

constexpr std::uint64_t kBytesPerUnsizedPhoto = 819200;
constexpr std::uint64_t kBytesPerCameraFile = 600000;

struct TCopyResult {
  TItemOutcome Outcome = TItemOutcome::Failed;
  std::string PcFile;  // the file written, or the one already there
  int Error = 0;
};

// Copies one device file into folder under name, or under the first free
// name of the series 1_name, 2_1_name, ... An existing file of the same
// non-zero size as the device file counts as this item already there: that
// lets a rerun pass over what it wrote without reading the device again,
// while a different file of the same name (another device's IMG_0001.JPG)
// is kept beside the new one. copy(pcFile) answers the facade's code;
// deviceSize() is asked at most once.
template <typename TCopy, typename TSize>
TCopyResult CopyUnderFreeName(TIpodDevice& device, const std::string& folder, std::string name,
                              TCopy&& copy, TSize&& deviceSize) {
  std::optional<std::uint64_t> sourceSize;
  int n = 0;
  for (int candidate = 0; candidate < kMaxNameCandidates; ++candidate) {
    const std::string pcFile = folder + name;
    if (device.PcFileExists(pcFile)) {
      const std::uint64_t localSize = device.LocalFileSize(pcFile);
      if (!sourceSize) sourceSize = deviceSize();
      if (localSize != 0 && localSize == *sourceSize) {
        return {TItemOutcome::AlreadyThere, pcFile, 0};
      }
      name = std::to_string(++n) + "_" + name;
      continue;
    }
    int rc = copy(pcFile);
    if (rc == kRetryOnceError) {
      device.Platform().Sleep(kRetryPauseMs);
      rc = copy(pcFile);
    }
    if (rc == 0) return {TItemOutcome::Written, pcFile, 0};
    if (rc == kNameTakenError) {
      // The name was taken after the test above. A file gets the same-size
      // test on the next round; anything else (a folder) passes the name on.
      if (!device.PcFileExists(pcFile)) name = std::to_string(++n) + "_" + name;
      continue;
    }
    return {TItemOutcome::Failed, {}, rc};
  }
  return {TItemOutcome::Failed, {}, kNameTakenError};
}

// The name of a Photo Database path: the part after its last ':' or '\'
// ('/' too, so that no folder part can reach the PC's name).
std::string NameAfterSeparator(const std::string& path) {
  const std::size_t cut = path.find_last_of(":\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The counts of one transfer routine.
struct TLoopTally {
  int Written = 0;
  int Errors = 0;

  // Counts the item's end and writes its error line; true when the error
  // limit ends the routine.
  bool Count(TIpodPhotoDb& db, const TCopyResult& result, const std::string& logName) {
    if (result.Outcome == TItemOutcome::Written) ++Written;
    if (result.Outcome != TItemOutcome::Failed) return false;
    db.AddLog(logName + ": Error " + std::to_string(result.Error));
    return ++Errors > kMaxErrors;
  }
};

}  // namespace

int TIpodPhotoDb::TransferPhotos() {
  return ThumbFormat.FromIosLibrary ? TransferIosPhotos() : TransferDiskPhotos();
}

int TIpodPhotoDb::TransferDiskPhotos() {
  StopRequested = false;
  if (CopyOriginals) return CopyOriginalFiles(false);
  switch (ExportFormat.FormatId) {
    case 1019:
      return ExportInterlacedUyvy();
    case 1023:
      PrepareBitmapHeader(false);
      return ExportSwappedRgb();
    case 1067:
      return ExportPlanarYuv();
    case 1081:
      return ExportJpegRecords();
    default:
      PrepareBitmapHeader(false);
      return ExportRgb();
  }
}

int TIpodPhotoDb::TransferIosPhotos() {
  StopRequested = false;
  return CopyOriginalFiles(true);
}

int TIpodPhotoDb::CopyOriginalFiles(bool iosPaths) {
  TLoopTally tally;
  for (std::size_t i = 0; i < Photos.Count() && !StopRequested; ++i) {
    const TPhotoItem& photo = Photos.Items(i);
    if (!photo.Selected) continue;
    const std::string name = iosPaths ? NameAfterSlash(photo.Path) : NameAfterSeparator(photo.Path);
    const std::string devicePath = iosPaths ? photo.Path : ":Photos:" + photo.Path;
    if (OnTransferFile) OnTransferFile(name);

    TCopyResult result;
    try {
      const std::optional<std::string> safeName = SafeFileName(name);
      if (!safeName || safeName->empty() || HasParentComponent(devicePath)) {
        result.Error = kUnsafeNameError;
      } else {
        result = CopyUnderFreeName(
            Device, DestFolder, *safeName,
            [&](const std::string& pcFile) { return Device.CopyItemToPc(devicePath, pcFile); },
            [&] { return Device.DeviceFileSize(devicePath); });
      }
    } catch (...) {
      ReportItem(name, TItemOutcome::Failed, {});
      throw;
    }
    const bool abort = tally.Count(*this, result, photo.Path);
    ReportItem(name, result.Outcome, result.PcFile);
    if (abort) {
      AddLog("Too many error, transfer abort.");
      break;
    }
  }
  return tally.Written;
}

int TIpodPhotoDb::TransferCameraFiles() {
  StopRequested = false;
  if (!CamPhotos) return 0;
  TLoopTally tally;
  for (std::size_t i = 0; i < CamPhotos->Count() && !StopRequested; ++i) {
    const TCamPhotoItem& file = CamPhotos->Items(i);
    if (!file.Selected) continue;
    const std::string& name = file.FileName;
    if (OnTransferFile) OnTransferFile(name);

    TCopyResult result;
    try {
      const std::string devicePath = CamPhotos->Folder + name;
      const std::optional<std::string> safeName = SafeFileName(name);
      if (!safeName || safeName->empty() || HasParentComponent(name)) {
        result.Error = kUnsafeNameError;
      } else {
        result = CopyUnderFreeName(
            Device, DestFolder, *safeName,
            [&](const std::string& pcFile) { return Device.CopyFileToPc(devicePath, pcFile); },
            [&] { return Device.FullDeviceFileSize(devicePath); });
      }
    } catch (...) {
      ReportItem(name, TItemOutcome::Failed, {});
      throw;
    }
    const bool abort = tally.Count(*this, result, name);
    ReportItem(name, result.Outcome, result.PcFile);
    if (abort) {
      AddLog("Too many error, camera photos transfer abort.");
      break;
    }
  }
  return tally.Written;
}

std::string TIpodPhotoDb::NameAfterSlash(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void TIpodPhotoDb::GetDefaultOutputFolder(std::string& path) {
  Device.GetDefaultFolder(path);
  if (!path.empty()) path += std::string("iPod Photos") + Device.PcSeparator();
}

bool TIpodPhotoDb::CheckOutputFolder(std::string& path) {
  // A slot size from the device is data: a negative one adds nothing.
  const std::uint64_t count = static_cast<std::uint64_t>(std::max(Photos.SelectedCount, 0));
  std::uint64_t needed = Photos.SelectedBytes;
  if (needed == 0) {
    needed = static_cast<std::uint64_t>(std::max(ExportFormat.SlotBytes, 0)) * count;
  }
  if (needed == 0) needed = count * kBytesPerUnsizedPhoto;
  if (HasCamera && CamPhotos) {
    needed +=
        static_cast<std::uint64_t>(std::max(CamPhotos->SelectedCount, 0)) * kBytesPerCameraFile;
  }
  const bool ok = Device.CheckDestination(path, needed);
  if (ok) DestFolder = path;
  return ok;
}

}  // namespace quill
