#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "support/bitmap.h"

namespace quill {

// One thumbnail cell as the page side builds it.
struct TCellSpec {
  std::int32_t Id = 0;  // index in Photos or CamPhotos
  int X = 0;
  int Y = 0;
  int Width = 0;
  int Height = 0;
  TBitmap24 Picture;
  bool Selected = false;
  bool Camera = false;  // click goes to CameraCellClick, else PhotoCellClick
};

// The area that holds the cells of the current page. The GUI implements it
// on a scroll area; tests record the calls. Called on the GUI thread only.
class TCellArea {
public:
  virtual ~TCellArea() = default;
  // Adds a cell; returns its handle (its position in the area).
  virtual int AddCell(TCellSpec cell) = 0;
  virtual void FreeAllCells() = 0;
  virtual int CellCount() const = 0;
  virtual std::int32_t CellId(int cell) const = 0;
  virtual bool CellSelected(int cell) const = 0;
  // Sets the cell's selected mark and repaints it.
  virtual void SetCellSelected(int cell, bool selected) = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetVisible(bool visible) = 0;
};

}  // namespace quill
