#include "principal/keyboard/keysizing.h"

std::vector<TKeyCell> SizeKeys(const TVirtualKeyLayout& layout, int width, int height) {
  std::vector<TKeyCell> cells;
  const auto& rows = layout.Keys;
  std::size_t keyCount = 0;
  for (const TVirtualKeys& row : rows) keyCount += row.Keys.size();
  if (keyCount == 0 || layout.Width == 0) return cells;
  const int rowCount = static_cast<int>(rows.size());

  // Rows stacked from the top; the first e rows take the pixel that does not divide evenly.
  const int h = (height - 1) / rowCount;
  const int e = height - h * rowCount;
  std::vector<int> tops(rows.size() + 1, 0);
  for (int r = 0; r < rowCount; ++r)
    tops[static_cast<std::size_t>(r) + 1] = tops[static_cast<std::size_t>(r)] + h + (r < e ? 1 : 0);

  cells.reserve(keyCount);
  const TVirtualKey* lastKey = nullptr;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const TVirtualKeys& row = rows[r];
    int fixed = 0, stretchUnits = 0;
    for (const TVirtualKey& key : row.Keys) {
      if (key.HasFlag(kfStretch))
        stretchUnits += key.Width;
      else
        fixed += key.Width * width / layout.Width;
    }
    const int free = width + 1 - fixed;
    int left = 0;
    for (const TVirtualKey& key : row.Keys) {
      TKeyCell cell;
      cell.Width = key.HasFlag(kfStretch) ? free * key.Width / stretchUnits
                                          : key.Width * width / layout.Width;
      cell.Left = left;
      left += cell.Width;
      cell.Top = tops[r];
      cell.Height = tops[r + 1] - tops[r];
      if (key.Height != layout.RowHeight && r + 1 < rows.size())
        cell.Height += (tops[r + 2] - tops[r + 1]) + row.BottomMargin;
      cells.push_back(cell);
      lastKey = &key;
    }
  }
  // The very last key, if it does not stretch, is one pixel narrower.
  if (!lastKey->HasFlag(kfStretch)) cells.back().Width -= 1;
  return cells;
}
