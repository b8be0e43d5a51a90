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
  bool result = ParsePhotoDatabase();
  // The camera folder is listed whatever became of the library: its files
  // alone are something to show.
  if (HasCamera && LoadCameraFiles() > 0) result = true;
  return result;
}

void TIpodPhotoDb::TransferFailed(const std::string& what) {
  AddLog("Transfer failed: " + what);
  ++transfer_errors_;
}

void TIpodPhotoDb::ReportItem(const std::string& name, TItemOutcome outcome,
                              const std::string& pcFile) {
  if (outcome == TItemOutcome::Failed) ++transfer_errors_;
  if (OnItemResult) OnItemResult(name, outcome, pcFile);
}

}  // namespace quill
