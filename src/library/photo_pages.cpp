#include <cstdint>
#include <iterator>

#include "library/ipod_photo_db.h"

namespace quill {

namespace {

struct TPageGeometry {
  std::int32_t FormatId;
  std::int32_t Width, Height, Gap, Columns, PerPage;
};

// Album cells by the library's thumbnail format; the last row serves every
// format not listed.
constexpr TPageGeometry kAlbumGeometry[] = {
    {1015, 119, 88, 22, 4, 200},  {1032, 42, 37, 18, 10, 400}, {1036, 50, 41, 20, 8, 400},
    {1234, 120, 120, 20, 4, 152}, {3004, 56, 56, 20, 8, 400},  {3011, 75, 75, 20, 6, 300},
    {3113, 111, 111, 20, 4, 100}, {0, 64, 64, 20, 7, 350},
};

}  // namespace

void TIpodPhotoDb::SetPageLayout(bool camera) {
  if (camera) {
    CameraCellWidth = 75;
    CameraCellHeight = 75;
    CameraCellGap = 20;
    CameraCellColumns = 6;
    CameraCellsPerPage = 30;
    return;
  }
  const TPageGeometry* geometry = &kAlbumGeometry[std::size(kAlbumGeometry) - 1];
  for (const TPageGeometry& row : kAlbumGeometry) {
    if (row.FormatId == ThumbFormat.FormatId) {
      geometry = &row;
      break;
    }
  }
  CellWidth = geometry->Width;
  CellHeight = geometry->Height;
  CellGap = geometry->Gap;
  CellColumns = geometry->Columns;
  CellsPerPage = geometry->PerPage;
}

void TIpodPhotoDb::ClearCells() {
  if (CellArea == nullptr) return;
  CellArea->SetVisible(false);
  CellArea->FreeAllCells();
  CellArea->SetVisible(true);
}

}  // namespace quill
