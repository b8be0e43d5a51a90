#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/bitmap.h"
#include "support/picture.h"
#include "support/text.h"

namespace quill {
namespace {

// Where the next cell goes: a row holds exactly `columns` cells.
struct TCellCursor {
  int X, Y;
  void Advance(int width, int height, int gap, int columns) {
    X += width + gap;
    if (static_cast<std::int64_t>(width + gap) * columns < X) {
      X = gap;
      Y += gap + height;
    }
  }
};

int PageCount(std::size_t items, std::int32_t perPage) {
  if (perPage <= 0) return 0;
  const std::size_t per = static_cast<std::size_t>(perPage);
  return static_cast<int>(items / per + (items % per > 0 ? 1 : 0));
}

// The position of page `page`'s first item, or nothing for a page before 1.
bool FirstOfPage(int page, std::int32_t perPage, std::size_t& first) {
  if (page < 1 || perPage <= 0) return false;
  first = static_cast<std::size_t>(page - 1) * static_cast<std::size_t>(perPage);
  return true;
}

bool IsVideoName(const std::string& name) {
  const std::string ext = ExtractFileExt(name);
  return EqualsNoCase(ext, ".MOV") || EqualsNoCase(ext, ".MP4") || EqualsNoCase(ext, ".M4V");
}

void FillWhite(TBitmap24& bitmap) {
  std::fill(bitmap.MutablePixels().begin(), bitmap.MutablePixels().end(), std::uint8_t{0xFF});
}

// A cell of width by height at the cursor showing picture, or blank where it
// has none: what is not there or does not decode can still be chosen.
TCellSpec PictureCell(std::size_t id, const TCellCursor& at, int width, int height,
                      const TSynPicture& picture, bool selected, bool camera) {
  TCellSpec cell;
  cell.Id = static_cast<std::int32_t>(id);
  cell.X = at.X;
  cell.Y = at.Y;
  cell.Width = width;
  cell.Height = height;
  cell.Camera = camera;
  cell.Picture.SetSize(width, height);
  FillWhite(cell.Picture);
  if (picture.HasImage()) picture.DrawTo(cell.Picture);
  cell.Selected = selected;
  return cell;
}

// The PC picture shown for video cells, read once a page, when first needed.
class TMoviePicture {
public:
  TMoviePicture(TIpodDevice& device, const std::string& path) : device_(device), path_(path) {}
  const std::vector<std::uint8_t>& Bytes() {
    if (!read_ && !path_.empty() && device_.ReadPcFile(path_, bytes_) != 0) bytes_.clear();
    read_ = true;
    return bytes_;
  }

private:
  TIpodDevice& device_;
  const std::string& path_;
  std::vector<std::uint8_t> bytes_;
  bool read_ = false;
};

}  // namespace

void TIpodPhotoDb::RefreshPhotoIndex() {
  // One pass over the ids per page or menu operation costs far less than the
  // work it serves, and notices any change of Photos without hooks in its
  // writers.
  std::uint64_t key = 0xcbf29ce484222325ULL ^ Photos.Count();
  for (std::size_t i = 0; i < Photos.Count(); ++i) {
    key = (key ^ Photos.Items(i).Id) * 0x100000001b3ULL;
  }
  if (photo_index_built_ && key == photo_index_key_ && photo_index_.size() == Photos.Count()) return;
  photo_index_.clear();
  photo_index_.reserve(Photos.Count());
  for (std::size_t i = 0; i < Photos.Count(); ++i) {
    photo_index_.emplace_back(Photos.Items(i).Id, static_cast<std::uint32_t>(i));
  }
  std::sort(photo_index_.begin(), photo_index_.end());
  photo_index_key_ = key;
  photo_index_built_ = true;
}

std::span<const std::pair<std::uint32_t, std::uint32_t>> TIpodPhotoDb::PhotoPositions(std::uint32_t id) const {
  const auto begin = std::lower_bound(photo_index_.begin(), photo_index_.end(), std::pair{id, std::uint32_t{0}});
  auto end = begin;
  while (end != photo_index_.end() && end->first == id) ++end;
  return {begin, end};
}

int TIpodPhotoDb::AlbumPageCount(int album) const {
  if (album < 0 || static_cast<std::size_t>(album) >= Albums.Count()) return 0;
  const std::size_t items = album == 0 ? Photos.Count() : Albums.Items(static_cast<std::size_t>(album)).PhotoIds.size();
  return PageCount(items, CellsPerPage);
}

int TIpodPhotoDb::CameraPageCount() const {
  return PageCount(CamPhotos ? CamPhotos->Count() : 0, CameraCellsPerPage);
}

int TIpodPhotoDb::ShowAlbumPage(int album, int page, int fileNumber) {
  if (CellArea == nullptr) return 0;
  page_is_camera_ = false;
  if (ModernLibrary) return ShowModernAlbumPage(album, page);
  CellArea->FreeAllCells();
  int count = 0;
  if (album < 0 || static_cast<std::size_t>(album) >= Albums.Count()) return 0;
  const TPhotoAlbumItem& item = Albums.Items(static_cast<std::size_t>(album));
  if (item.PhotoIds.empty()) return 0;

  TCellCursor at{CellGap, CellGap};
  PrepareBitmapHeader(true);
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "F" + std::string at -O3.
  std::string name;
  if (ThumbFormat.FromIosLibrary) {
    name = ThumbFormat.FileName;
  } else {
    name = "F";
    name += std::to_string(ThumbFormat.FormatId);
    name += '_';
    name += std::to_string(fileNumber);
  }
  const std::size_t slot = ThumbFormat.SlotBytes > 0 ? static_cast<std::size_t>(ThumbFormat.SlotBytes) : 0;
  if (!Device.OpenThumbFile(name, slot)) return 0;

  RefreshPhotoIndex();
  std::size_t first = 0;
  if (FirstOfPage(page, CellsPerPage, first)) {
    for (std::size_t k = first; k < item.PhotoIds.size() && count < CellsPerPage; ++k) {
      // Every photo of that id gets a cell, as a pass over Photos would give.
      for (const auto& [id, i] : PhotoPositions(item.PhotoIds[k])) {
        (void)id;
        WorkStream.Clear();
        WorkStream.Write(BitmapHeader.data(), BitmapHeader.size());
        const TPhotoItem& photo = Photos.Items(i);
        if (Device.ReadThumbRecord(slot, WorkStream, photo.ThumbOffset)) {
          TCellSpec cell;
          cell.Id = static_cast<std::int32_t>(i);
          cell.X = at.X;
          cell.Y = at.Y;
          cell.Width = CellWidth;
          cell.Height = CellHeight;
          LoadBitmapFile(WorkStream.Bytes(), cell.Picture);
          cell.Selected = photo.Selected;
          CellArea->AddCell(std::move(cell));
          ++count;
          at.Advance(CellWidth, CellHeight, CellGap, CellColumns);
        }
        WorkStream.Clear();
        if (OnPageProgress) OnPageProgress(count);
      }
    }
  }
  Device.CloseThumbFile();
  return count;
}

// Pages of a modern library: its thumbnails are no records of one file but
// the device's own small JPEGs beside the library, or the pictures themselves.
int TIpodPhotoDb::ShowModernAlbumPage(int album, int page) {
  CellArea->FreeAllCells();
  int count = 0;
  if (album < 0 || static_cast<std::size_t>(album) >= Albums.Count()) return 0;
  const TPhotoAlbumItem& item = Albums.Items(static_cast<std::size_t>(album));
  std::size_t first = 0;
  if (item.PhotoIds.empty() || !FirstOfPage(page, CellsPerPage, first)) return 0;
  RefreshPhotoIndex();
  TCellCursor at{CellGap, CellGap};
  TSynPicture picture;
  picture.PreferThumbnail = true;
  TMemoryStream stream;
  TMoviePicture movie(Device, MoviePicture);
  for (std::size_t k = first; k < item.PhotoIds.size() && count < CellsPerPage; ++k) {
    for (const auto& [id, i] : PhotoPositions(item.PhotoIds[k])) {
      (void)id;
      const TPhotoItem& photo = Photos.Items(i);
      stream.Clear();
      picture.Clear();
      const std::string thumb = "PhotoData/Thumbnails/V2/" + photo.Path + "/5005.JPG";
      if (Device.DeviceFileExists(thumb) && Device.ReadFileToStream(thumb, stream)) {
        picture.LoadFromStream(stream);
      } else if (photo.Kind == TAssetKind::Video || IsVideoName(photo.Path)) {
        picture.LoadFromBytes(movie.Bytes());
      } else if (!photo.Has(kAssetNotOnDevice) && Device.ReadFileToStream(photo.Path, stream)) {
        picture.LoadFromStream(stream);
      }
      stream.Clear();
      CellArea->AddCell(PictureCell(i, at, CellWidth, CellHeight, picture, photo.Selected, false));
      ++count;
      at.Advance(CellWidth, CellHeight, CellGap, CellColumns);
      if (OnPageProgress) OnPageProgress(count);
    }
  }
  return count;
}

int TIpodPhotoDb::ShowCameraPage(int page, const std::string& movPicture) {
  if (CellArea == nullptr) return 0;
  page_is_camera_ = true;
  CellArea->FreeAllCells();
  int count = 0;
  if (!CamPhotos || CamPhotos->Count() == 0) return 0;

  TCellCursor at{CameraCellGap, CameraCellGap};
  TSynPicture picture;
  TMemoryStream stream;
  TMoviePicture movie(Device, movPicture);
  std::size_t first = 0;
  if (!FirstOfPage(page, CameraCellsPerPage, first)) return 0;
  for (std::size_t k = first; k < CamPhotos->Count() && count < CameraCellsPerPage; ++k) {
    const TCamPhotoItem& file = CamPhotos->Items(k);
    stream.Clear();
    bool ok = true;
    if (IsVideoName(file.FileName)) {
      stream.Write(movie.Bytes());
      stream.Seek(0);
    } else {
      std::string ext;
      ok = Device.ReadCameraThumb(CamPhotos->FolderOf(k), file.FileName, stream, ext);
    }
    if (!ok) continue;

    // A thumbnail that does not decode leaves a blank cell, without a message.
    picture.LoadFromStream(stream);
    CellArea->AddCell(
        PictureCell(k, at, CameraCellWidth, CameraCellHeight, picture, file.Selected, true));
    ++count;
    at.Advance(CameraCellWidth, CameraCellHeight, CameraCellGap, CameraCellColumns);
    if (OnPageProgress) OnPageProgress(count);
  }
  return count;
}

void TIpodPhotoDb::MarkPageCells(TSelectOp op) {
  if (CellArea == nullptr) return;
  CellArea->SetEnabled(false);
  for (int c = 0; c < CellArea->CellCount(); ++c) {
    const bool selected = CellArea->CellSelected(c);
    switch (op) {
      case TSelectOp::SelectAll:
        if (!selected) CellArea->SetCellSelected(c, true);
        break;
      case TSelectOp::UnselectAll:
        if (selected) CellArea->SetCellSelected(c, false);
        break;
      case TSelectOp::Invert:
        CellArea->SetCellSelected(c, !selected);
        break;
    }
    // Photos whose files are not on the device stay out of a selection of
    // many: their cells show what the model holds.
    if (ModernLibrary && !page_is_camera_) {
      const std::int32_t id = CellArea->CellId(c);
      if (id >= 0 && static_cast<std::size_t>(id) < Photos.Count()) {
        const bool model = Photos.Items(static_cast<std::size_t>(id)).Selected;
        if (CellArea->CellSelected(c) != model) CellArea->SetCellSelected(c, model);
      }
    }
  }
  CellArea->SetEnabled(true);
}

void TIpodPhotoDb::PhotoCellClick(int cell) {
  if (CellArea == nullptr || cell < 0 || cell >= CellArea->CellCount()) return;
  const std::int32_t id = CellArea->CellId(cell);
  if (id < 0 || static_cast<std::size_t>(id) >= Photos.Count()) return;
  const bool selected = !CellArea->CellSelected(cell);
  if (selected) {
    Photos.Select(static_cast<std::size_t>(id));
  } else {
    Photos.Unselect(static_cast<std::size_t>(id));
  }
  CellArea->SetCellSelected(cell, selected);
  if (OnSelectionChange) OnSelectionChange(id, selected);
}

void TIpodPhotoDb::CameraCellClick(int cell) {
  if (CellArea == nullptr || !CamPhotos || cell < 0 || cell >= CellArea->CellCount()) return;
  const std::int32_t id = CellArea->CellId(cell);
  if (id < 0 || static_cast<std::size_t>(id) >= CamPhotos->Count()) return;
  const bool selected = !CellArea->CellSelected(cell);
  if (selected) {
    CamPhotos->Select(static_cast<std::size_t>(id));
  } else {
    CamPhotos->Unselect(static_cast<std::size_t>(id));
  }
  CellArea->SetCellSelected(cell, selected);
  if (OnSelectionChange) OnSelectionChange(id, selected);
}

void TIpodPhotoDb::SelectAlbumPhotos(TSelectOp op, int album) {
  if (album < 0 || static_cast<std::size_t>(album) >= Albums.Count()) return;
  const TPhotoAlbumItem& item = Albums.Items(static_cast<std::size_t>(album));
  RefreshPhotoIndex();
  for (std::uint32_t id : item.PhotoIds) {
    const auto positions = PhotoPositions(id);
    if (positions.empty()) continue;
    // Only the first photo of that id, as a search from the start finds it.
    const std::size_t i = positions.front().second;
    const bool select = op == TSelectOp::SelectAll || (op == TSelectOp::Invert && !Photos.Items(i).Selected);
    if (select) {
      // A photo whose file is not on the device is chosen only by itself.
      SelectIfOnDevice(i);
    } else {
      Photos.Unselect(i);
    }
  }
}

void TIpodPhotoDb::SelectCameraFiles(TSelectOp op) {
  if (!CamPhotos) return;
  for (std::size_t k = 0; k < CamPhotos->Count(); ++k) {
    const bool select = op == TSelectOp::SelectAll || (op == TSelectOp::Invert && !CamPhotos->Items(k).Selected);
    if (select) {
      CamPhotos->Select(k);
    } else {
      CamPhotos->Unselect(k);
    }
  }
}

}  // namespace quill
