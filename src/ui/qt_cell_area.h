#pragma once

#include <QImage>
#include <QScrollArea>
#include <functional>
#include <vector>

#include "library/cell_area.h"
#include "support/bitmap.h"
#include "ui/photo_control.h"

namespace quill {

// The cell area of the photo browser on a scroll area: each cell is a
// TPhotoControl child of the scroll area's content, which grows with the
// cells. A click on a cell reports the cell's handle and kind. GUI thread only;
// the scroll area must outlive this object.
class TQtCellArea : public TCellArea {
public:
  explicit TQtCellArea(QScrollArea& scrollArea);
  ~TQtCellArea() override;
  TQtCellArea(const TQtCellArea&) = delete;
  TQtCellArea& operator=(const TQtCellArea&) = delete;

  int AddCell(TCellSpec cell) override;
  void FreeAllCells() override;
  int CellCount() const override { return static_cast<int>(cells_.size()); }
  std::int32_t CellId(int cell) const override;
  bool CellSelected(int cell) const override;
  void SetCellSelected(int cell, bool selected) override;
  void SetEnabled(bool enabled) override;
  void SetVisible(bool visible) override;

  TPhotoControl* Cell(int cell) const { return cells_.at(static_cast<std::size_t>(cell)); }
  QWidget* Content() const { return content_; }
  std::function<void(int cell, bool camera)> OnCellClick;

private:
  QScrollArea& area_;
  QWidget* content_;
  std::vector<TPhotoControl*> cells_;
  int extent_x_ = 0;
  int extent_y_ = 0;
};

// The bitmap as an image of the same pixels.
QImage ToImage(const TBitmap24& bitmap);

}  // namespace quill
