#pragma once

#include <utility>
#include <vector>

#include "library/cell_area.h"

namespace quill::testing {

// Keeps the cells a page build adds, with their selected marks.
class TCellRecorder : public TCellArea {
public:
  std::vector<TCellSpec> Cells;
  int AddCell(TCellSpec cell) override {
    Cells.push_back(std::move(cell));
    return static_cast<int>(Cells.size()) - 1;
  }
  void FreeAllCells() override { Cells.clear(); }
  int CellCount() const override { return static_cast<int>(Cells.size()); }
  std::int32_t CellId(int cell) const override { return Cells[static_cast<std::size_t>(cell)].Id; }
  bool CellSelected(int cell) const override { return Cells[static_cast<std::size_t>(cell)].Selected; }
  void SetCellSelected(int cell, bool selected) override {
    Cells[static_cast<std::size_t>(cell)].Selected = selected;
  }
  void SetEnabled(bool) override {}
  void SetVisible(bool) override {}
};

}  // namespace quill::testing
