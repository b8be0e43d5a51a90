#include "library/photo_model.h"

namespace quill {

void TPhotoList::Select(std::size_t i) {
  TPhotoItem& item = items_[i];
  if (item.Selected) return;
  item.Selected = true;
  ++SelectedCount;
  SelectedBytes += item.ImageSize;
}

void TPhotoList::Unselect(std::size_t i) {
  TPhotoItem& item = items_[i];
  if (!item.Selected) return;
  item.Selected = false;
  --SelectedCount;
  SelectedBytes -= item.ImageSize;
}

void TCamPhotoList::Select(std::size_t i) {
  TCamPhotoItem& item = items_[i];
  if (item.Selected) return;
  item.Selected = true;
  ++SelectedCount;
}

void TCamPhotoList::Unselect(std::size_t i) {
  TCamPhotoItem& item = items_[i];
  if (!item.Selected) return;
  item.Selected = false;
  --SelectedCount;
}

}  // namespace quill
