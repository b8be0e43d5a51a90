#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "library/heic_copies.h"
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
  std::string Reason = {};  // said in the log instead of the code, when set
};

// Copies one device file into folder under name, or under the first free
// name of the series 1_name, 2_1_name, ... An existing file of the same
// non-zero size as the device file counts as this item already there: that
// lets a rerun pass over what it wrote without reading the device again,
// while a different file of the same name (another device's IMG_0001.JPG)
// is kept beside the new one. copy(pcFile) answers the facade's code;
// deviceSize() is asked at most once. A file larger than the destination's
// file system holds is refused before anything is written.
template <typename TCopy, typename TSize>
TCopyResult CopyUnderFreeName(TIpodDevice& device, const std::string& folder, std::string name,
                              const TFileSystemLimits& limits, TCopy&& copy, TSize&& deviceSize) {
  static const std::string kTooLarge = "too large for the destination's file system";
  std::optional<std::uint64_t> sourceSize;
  if (limits.MaxFileSize) {
    sourceSize = deviceSize();
    if (*sourceSize > *limits.MaxFileSize)
      return {TItemOutcome::Failed, {}, kErrorFileTooLarge, kTooLarge};
  }
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
    // A file system that does not tell its limit says so at the write.
    if (rc == kErrorFileTooLarge) return {TItemOutcome::Failed, {}, rc, kTooLarge};
    return {TItemOutcome::Failed, {}, rc};
  }
  return {TItemOutcome::Failed, {}, kNameTakenError};
}

// The name an item takes in the destination: safe everywhere, and mapped
// where the destination's file system refuses DOS's reserved characters;
// nullopt or empty when no name can be made.
std::optional<std::string> PcNameFor(const std::string& name, const TFileSystemLimits& limits) {
  std::optional<std::string> safe = SafeFileName(name);
  if (safe && limits.RefusesDosNames) safe = DosSafeName(*safe);
  return safe;
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
    db.AddLog(logName + (result.Reason.empty() ? ": Error " + std::to_string(result.Error)
                                              : ": " + result.Reason));
    return ++Errors > kMaxErrors;
  }

  // Counts the item's end once its JPEG (if any) is done; true when the
  // error limit ends the routine. A failed conversion is an error of the
  // item, whose HEIC is in the folder all the same.
  bool Count(TIpodPhotoDb& db, TCopyResult result, const std::string& logName, const THeicEnd& end,
             const std::function<void(const TCopyResult&)>& report) {
    if (end.Replaced) result = {end.Outcome, end.PcFile, end.Error};
    bool abort = Count(db, result, logName);
    report(result);
    if (!end.Reason.empty() && result.Outcome != TItemOutcome::Failed) {
      db.AddLog(logName + ": not converted to JPEG: " + end.Reason);
      db.NoteItemError();
      abort = ++Errors > kMaxErrors || abort;
    }
    return abort;
  }
};

}  // namespace

int TIpodPhotoDb::TransferPhotos() {
  if (StaleTempFilesRemoved > 0) {
    AddLog("Removed " + std::to_string(StaleTempFilesRemoved) +
           (StaleTempFilesRemoved == 1 ? " temporary file" : " temporary files") +
           " left by an earlier transfer");
    StaleTempFilesRemoved = 0;
  }
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
  CompanionsWritten = 0;
  return CopyOriginalFiles(true);
}

namespace {

std::string BaseOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string UpperExt(const std::string& name) {
  std::string ext = ExtractFileExt(name);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ext;
}

}  // namespace

std::vector<TCompanionFile> TIpodPhotoDb::CompanionsOf(const TPhotoItem& photo,
                                                       const std::string& pcName) {
  std::vector<TCompanionFile> found;
  if (!ModernLibrary) return found;
  const std::size_t slash = photo.Path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : photo.Path.substr(0, slash + 1);
  const std::string deviceName = slash == std::string::npos ? photo.Path : photo.Path.substr(slash + 1);
  const std::string deviceBase = BaseOf(deviceName);
  const std::string pcBase = BaseOf(pcName);
  auto firstOf = [&](std::initializer_list<const char*> exts, const std::string& base,
                     const std::string& under, const std::string& pcStem) {
    for (const char* ext : exts) {
      const std::string path = under + base + ext;
      if (Device.DeviceFileExists(path)) {
        found.push_back({path, pcStem + UpperExt(path)});
        return;
      }
    }
  };
  if (photo.Has(kAssetLivePhoto) && photo.Kind == TAssetKind::Photo)
    firstOf({".MOV", ".mov"}, deviceBase, folder, pcBase);
  if (photo.Has(kAssetAdjusted)) {
    // The edit is rendered beside the original's own folder under
    // Mutations; computers import it as IMG_E<n>.
    const std::string render = "PhotoData/Mutations/" + folder + deviceBase + "/Adjustments/";
    const std::string edited = StartsWithNoCase(pcBase, "IMG_") ? "IMG_E" + pcBase.substr(4)
                                                               : pcBase + "_E";
    firstOf({".jpg", ".JPG", ".heic", ".HEIC", ".mov", ".MOV"}, "FullSizeRender", render, edited);
    firstOf({".AAE", ".aae"}, deviceBase, folder, pcBase);
  }
  return found;
}

int TIpodPhotoDb::CopyOriginalFiles(bool iosPaths) {
  const TFileSystemLimits limits = Device.Platform().FileSystemLimits(DestFolder);
  TLoopTally tally;
  int passedOver = 0;
  for (std::size_t i = 0; i < Photos.Count(); ++i) {
    const TPhotoItem& photo = Photos.Items(i);
    if (!photo.Selected && photo.Has(kAssetPassedOver) && photo.Has(kAssetNotOnDevice)) ++passedOver;
  }
  THeicConversions heic(*this);
  bool aborted = false;
  for (std::size_t i = 0; i < Photos.Count() && !StopRequested && !aborted; ++i) {
    const TPhotoItem& photo = Photos.Items(i);
    if (!photo.Selected) continue;
    const std::string deviceName =
        iosPaths ? NameAfterSlash(photo.Path) : NameAfterSeparator(photo.Path);
    const std::string& original = Photos.OriginalName(photo);
    const std::string name = original.empty() ? deviceName : original;
    const std::string devicePath = iosPaths ? photo.Path : ":Photos:" + photo.Path;
    if (OnTransferFile) OnTransferFile(name);

    TWriteOptions options;
    if (photo.Created != 0) options.Modified = photo.Created;
    TCopyResult result;
    std::vector<TCompanionFile> companions;
    // The item is reported once its JPEG (if any) is done.
    auto itemEnd = [this, &tally, &aborted, name, logName = photo.Path](const TCopyResult& copied) {
      return [this, &tally, &aborted, name, logName, copied](const THeicEnd& end) {
        const bool abort = tally.Count(*this, copied, logName, end, [&](const TCopyResult& r) {
          ReportItem(name, r.Outcome, r.PcFile);
        });
        if (abort && !aborted) {
          AddLog("Too many error, transfer abort.");
          aborted = true;
        }
      };
    };
    bool queued = false;
    try {
      const std::optional<std::string> safeName = PcNameFor(name, limits);
      if (photo.Has(kAssetNotOnDevice)) {
        result.Error = kErrorRead;
        result.Reason = "not on the device (left on iCloud, or missing)";
      } else if (!safeName || safeName->empty() || HasParentComponent(devicePath)) {
        result.Error = kUnsafeNameError;
      } else if (heic.Instead(*safeName)) {
        result.Error = heic.Instead(
            *safeName,
            [&](const std::string& work) { return Device.CopyItemToPc(devicePath, work, options); },
            itemEnd({TItemOutcome::Written, {}, 0}));
        queued = result.Error == 0;
        if (queued) companions = CompanionsOf(photo, *safeName);
      } else {
        result = CopyUnderFreeName(
            Device, DestFolder, *safeName, limits,
            [&](const std::string& pcFile) { return Device.CopyItemToPc(devicePath, pcFile, options); },
            [&] { return Device.DeviceFileSize(devicePath); });
        if (result.Outcome != TItemOutcome::Failed) companions = CompanionsOf(photo, *safeName);
        if (result.Outcome != TItemOutcome::Failed && heic.Converts(*safeName)) {
          heic.Also(*safeName, result.PcFile, itemEnd(result));
          queued = true;
        }
      }
      // Companions go under the names of their own, by the same rules; a
      // failed one fails its photo's transfer, not the photo's file.
      for (const TCompanionFile& companion : companions) {
        const std::optional<std::string> safe = PcNameFor(companion.PcName, limits);
        TCopyResult part;
        if (!safe || safe->empty() || HasParentComponent(companion.DevicePath)) {
          part.Error = kUnsafeNameError;
        } else {
          part = CopyUnderFreeName(
              Device, DestFolder, *safe, limits,
              [&](const std::string& pcFile) {
                return Device.CopyItemToPc(companion.DevicePath, pcFile, options);
              },
              [&] { return Device.DeviceFileSize(companion.DevicePath); });
        }
        if (part.Outcome == TItemOutcome::Written) {
          ++CompanionsWritten;
          NoteWritten(part.PcFile);
        }
        if (part.Outcome == TItemOutcome::Failed) {
          AddLog(companion.DevicePath + ": Error " + std::to_string(part.Error));
          ++transfer_errors_;
        }
      }
    } catch (...) {
      ReportItem(name, TItemOutcome::Failed, {});
      throw;
    }
    if (!queued) heic.Then(itemEnd(result));
  }
  heic.Finish();
  if (CompanionsWritten > 0) {
    AddLog("Companion files (Live Photo clips, edits, sidecars): c" +
           std::to_string(CompanionsWritten));
  }
  if (passedOver > 0) {
    AddLog("Not on the device (left on iCloud, or missing): " + std::to_string(passedOver) +
           (passedOver == 1 ? " photo, not copied" : " photos, not copied"));
  }
  return tally.Written;
}

int TIpodPhotoDb::TransferCameraFiles() {
  StopRequested = false;
  if (!CamPhotos) return 0;
  const TFileSystemLimits limits = Device.Platform().FileSystemLimits(DestFolder);
  TLoopTally tally;
  THeicConversions heic(*this);
  bool aborted = false;
  for (std::size_t i = 0; i < CamPhotos->Count() && !StopRequested && !aborted; ++i) {
    const TCamPhotoItem& file = CamPhotos->Items(i);
    if (!file.Selected) continue;
    const std::string& name = file.FileName;
    if (OnTransferFile) OnTransferFile(name);

    TCopyResult result;
    auto itemEnd = [this, &tally, &aborted, name](const TCopyResult& copied) {
      return [this, &tally, &aborted, name, copied](const THeicEnd& end) {
        const bool abort = tally.Count(*this, copied, name, end, [&](const TCopyResult& r) {
          ReportItem(name, r.Outcome, r.PcFile);
        });
        if (abort && !aborted) {
          AddLog("Too many error, camera photos transfer abort.");
          aborted = true;
        }
      };
    };
    bool queued = false;
    try {
      const std::string devicePath = CamPhotos->FolderOf(i) + name;
      const std::optional<std::string> safeName = PcNameFor(name, limits);
      if (!safeName || safeName->empty() || HasParentComponent(name)) {
        result.Error = kUnsafeNameError;
      } else if (heic.Instead(*safeName)) {
        result.Error = heic.Instead(
            *safeName, [&](const std::string& work) { return Device.CopyFileToPc(devicePath, work); },
            itemEnd({TItemOutcome::Written, {}, 0}));
        queued = result.Error == 0;
      } else {
        result = CopyUnderFreeName(
            Device, DestFolder, *safeName, limits,
            [&](const std::string& pcFile) { return Device.CopyFileToPc(devicePath, pcFile); },
            [&] { return Device.FullDeviceFileSize(devicePath); });
        if (result.Outcome != TItemOutcome::Failed && heic.Converts(*safeName)) {
          heic.Also(*safeName, result.PcFile, itemEnd(result));
          queued = true;
        }
      }
    } catch (...) {
      ReportItem(name, TItemOutcome::Failed, {});
      throw;
    }
    if (!queued) heic.Then(itemEnd(result));
  }
  heic.Finish();
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
  if (ok) {
    DestFolder = path;
    // What killed transfers left here (a crash, a pulled cord) goes now;
    // a transfer running into the same folder keeps its own.
    // The transfer's log (which starts with the thread) says so.
    StaleTempFilesRemoved = Device.Platform().RemoveStaleTempFiles(DestFolder);
  }
  return ok;
}

}  // namespace quill
