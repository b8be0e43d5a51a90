#include <string>
#include <vector>

#include "library/ipod_photo_db.h"

namespace quill {

int TIpodPhotoDb::LoadCameraFiles() {
  if (!CamPhotos) return 0;
  const std::vector<std::string> folders = Device.CameraFolders();
  int count = 0;
  std::vector<std::string> names;
  for (const std::string& folder : folders) {
    names.clear();
    Device.ListCameraFilesIn(folder, names);
    for (const std::string& name : names) {
      TCamPhotoItem& item = CamPhotos->Add();
      item.Selected = false;
      item.FileName = name;
      item.Folder = folder;
    }
    count += static_cast<int>(names.size());
  }
  SetPageLayout(true);
  CamPhotos->Folder = folders.empty() ? Device.CameraFolder() : folders.front();
  return count;
}

}  // namespace quill
