#include "ui/qt_cell_area.h"

#include <algorithm>

namespace quill {

QImage ToImage(const TBitmap24& bitmap) {
  if (bitmap.Empty()) return {};
  const QImage view(bitmap.Pixels().data(), bitmap.Width(), bitmap.Height(), bitmap.Width() * 3,
                    QImage::Format_BGR888);
  return view.convertToFormat(QImage::Format_RGB32);
}

TQtCellArea::TQtCellArea(QScrollArea& scrollArea) : area_(scrollArea), content_(new QWidget) {
  content_->resize(0, 0);
  area_.setWidget(content_);
  area_.setWidgetResizable(false);
  // The scroll area's own background shows between the cells, enabled or not.
  content_->setAutoFillBackground(false);
}

TQtCellArea::~TQtCellArea() { FreeAllCells(); }

int TQtCellArea::AddCell(TCellSpec desc) {
  auto* cell = new TPhotoControl(content_);
  cell->Id = static_cast<std::uint32_t>(desc.Id);
  cell->setGeometry(desc.X, desc.Y, desc.Width, desc.Height);
  cell->SetPicture(ToImage(desc.Picture));
  cell->SetSelected(desc.Selected);
  const int handle = static_cast<int>(cells_.size());
  const bool camera = desc.Camera;
  cell->OnClick = [this, handle, camera] {
    if (OnCellClick) OnCellClick(handle, camera);
  };
  cells_.push_back(cell);
  // The scroll range follows the cells.
  extent_x_ = std::max(extent_x_, desc.X + desc.Width);
  extent_y_ = std::max(extent_y_, desc.Y + desc.Height);
  content_->resize(extent_x_, extent_y_);
  cell->show();
  return handle;
}

void TQtCellArea::FreeAllCells() {
  for (TPhotoControl* cell : cells_) delete cell;
  cells_.clear();
  extent_x_ = extent_y_ = 0;
  content_->resize(0, 0);
}

std::int32_t TQtCellArea::CellId(int cell) const { return static_cast<std::int32_t>(Cell(cell)->Id); }

bool TQtCellArea::CellSelected(int cell) const { return Cell(cell)->Selected(); }

void TQtCellArea::SetCellSelected(int cell, bool selected) {
  Cell(cell)->SetSelected(selected);
}

void TQtCellArea::SetEnabled(bool enabled) { area_.setEnabled(enabled); }

void TQtCellArea::SetVisible(bool visible) { area_.setVisible(visible); }

}  // namespace quill
