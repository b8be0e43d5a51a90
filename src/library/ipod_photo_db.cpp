#include "library/ipod_photo_db.h"

namespace quill {

TIpodPhotoDb::TIpodPhotoDb(TIpodDevice& device, TCellArea* cellArea, bool hasCamera)
    : HasCamera(hasCamera), Device(device), CellArea(cellArea) {
  if (HasCamera) CamPhotos = std::make_unique<TCamPhotoList>();
}

TIpodPhotoDb::~TIpodPhotoDb() { ClearCells(); }

void TIpodPhotoDb::AddLog(const std::string& line) {
  LogText += "\r\n";
  LogText += line;
}

bool TIpodPhotoDb::LoadPhotoLibrary() {
  bool result = false;
  const std::string database = Device.FetchPhotoDataFile("Photos.sqlite", "");
  if (!database.empty()) {
    // The log lies beside the copy under the name SQLite looks for.
    Device.FetchPhotoDataFile("Photos.sqlite-wal", "-wal");
    for (const std::string& note : Device.FetchNotes) AddLog(note);
    Device.FetchNotes.clear();
    const bool copyOriginals = CopyOriginals;
    std::string why;
    try {
      result = ReadPhotosSqlite(database);
    } catch (const std::exception& error) {
      why = error.what();
      result = false;
    } catch (...) {
      why = "unknown error";
      result = false;
    }
    if (!result) {
      // The Photo Database's failure line carries the device's messages: the
      // reason this library was not read belongs there too.
      Device.AddMessage("Photos.sqlite not read: " + (why.empty() ? std::string("no photos") : why));
      ModernLibrary = false;
      // A half-read library must not stay behind: should the Photo Database
      // be missing too, its albums and photos would be shown and its
      // original-file transfer would be run on a disk-mode library.
      Photos.Clear();
      Albums.Clear();
      ThumbFormat = TPhotoInfo{};
      CopyOriginals = copyOriginals;
    }
  }
  // Both files are always local copies, private to the user: gone once
  // read, also when the reading (or a copy) failed.
  Device.RemovePhotoDataCopies();
  if (!result) result = ParsePhotoDatabase();
  // The camera folder is listed whatever became of the library: its files
  // alone are something to show.
  if (HasCamera && LoadCameraFiles() > 0) result = true;
  return result;
}

bool TIpodPhotoDb::SelectIfOnDevice(std::size_t i) {
  TPhotoItem& photo = Photos.Items(i);
  if (photo.Has(kAssetNotOnDevice)) {
    photo.Flags |= kAssetPassedOver;
    return false;
  }
  Photos.Select(i);
  return true;
}

void TIpodPhotoDb::TransferFailed(const std::string& what) {
  AddLog("Transfer failed: " + what);
  ++transfer_errors_;
}

void TIpodPhotoDb::FlushTransfer() {
  if (written_files_.empty() || DestFolder.empty()) return;
  const int error = Device.Platform().FlushWritten(DestFolder, written_files_);
  written_files_.clear();
  if (error != 0) {
    TransferFailed("the files could not be written out to the disk (error " + std::to_string(error) +
                   ")");
  }
}

void TIpodPhotoDb::ReportItem(const std::string& name, TItemOutcome outcome,
                              const std::string& pcFile) {
  if (outcome == TItemOutcome::Failed) ++transfer_errors_;
  if (outcome == TItemOutcome::Written && !pcFile.empty()) written_files_.push_back(pcFile);
  if (OnItemResult) OnItemResult(name, outcome, pcFile);
}

}  // namespace quill
