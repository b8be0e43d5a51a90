#include <string>
#include <vector>

#include "library/ipod_photo_db.h"

namespace quill {

int TIpodPhotoDb::LoadCameraFiles() {
  if (!CamPhotos) return 0;
  std::vector<std::string> names;
  Device.ListCameraFiles(names);
  for (const std::string& name : names) {
    TCamPhotoItem& item = CamPhotos->Add();
    item.Selected = false;
    item.FileName = name;
  }
  SetPageLayout(true);
  CamPhotos->Folder = Device.CameraFolder();
  return static_cast<int>(names.size());
}

}  // namespace quill
