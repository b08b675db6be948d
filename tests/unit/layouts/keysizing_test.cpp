#include <gtest/gtest.h>

#include <string>

#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/keysizing.h"

namespace {

const TVirtualKeyLayout& BuiltIn(const char* name) {
  LoadBuiltInKeyboardLayouts();
  const TKeyboardLayouts& layouts = KeyboardLayouts();
  for (int i = 0; i < layouts.Count(); ++i)
    if (layouts.Layout(i).KeyboardName == QLatin1String(name)) return layouts.Layout(i);
  throw std::runtime_error(name);
}

TEST(KeySizing, RowsFillTheWidthAndStretchKeysShareItInProportion) {
  for (const char* name : {"Standard101", "Standard102", "Standard106"}) {
    for (int width : {550, 784, 1366}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(width));
      const TVirtualKeyLayout& layout = BuiltIn(name);
      const std::vector<TKeyCell> cells = SizeKeys(layout, width, 180);
      std::size_t i = 0;
      for (std::size_t r = 0; r < layout.Keys.size(); ++r) {
        const auto& keys = layout.Keys[r].Keys;
        const std::size_t first = i;
        std::vector<std::size_t> stretch;
        for (const TVirtualKey& key : keys) {
          const TKeyCell& cell = cells.at(i);
          // No gaps, no overlaps; rows 36 pixels high, stacked from the top.
          EXPECT_EQ(cell.Left, i == first ? 0 : cells[i - 1].Left + cells[i - 1].Width);
          EXPECT_EQ(cell.Top, 36 * static_cast<int>(r));
          EXPECT_EQ(cell.Height, 36);
          const bool last = i + 1 == cells.size();
          if (key.HasFlag(kfStretch)) {
            stretch.push_back(i);
          } else if (!last) {
            EXPECT_EQ(cell.Width, key.Width * width / layout.Width);
          }
          ++i;
        }
        // The row reaches the right edge; its cell may run one pixel past it, where no face is.
        const int right = cells[i - 1].Left + cells[i - 1].Width;
        EXPECT_GE(right, width - 1) << "row " << r;
        EXPECT_LE(right, width + 1) << "row " << r;
        for (std::size_t s = 1; s < stretch.size(); ++s) {
          const double ratio = double(cells[stretch[s]].Width) / cells[stretch[0]].Width;
          const double want = double(layout.Keys[r].Keys[stretch[s] - first].Width) /
                              layout.Keys[r].Keys[stretch[0] - first].Width;
          EXPECT_NEAR(ratio, want, 2.0 / cells[stretch[0]].Width) << "row " << r;
        }
      }
      EXPECT_EQ(i, cells.size());
    }
  }
}

TEST(KeySizing, UnevenHeightsGoToTheFirstRowsAndTallKeysSpanTwo) {
  const TVirtualKeyLayout& numPad = BuiltIn("NumPad");
  // 150 = 5 rows of 29 and 5 left over: every row 30. 148: h = 29, e = 3.
  const std::vector<TKeyCell> cells = SizeKeys(numPad, 190, 148);
  const std::vector<int> tops = {0, 30, 60, 90, 119};
  std::size_t i = 0;
  for (std::size_t r = 0; r < numPad.Keys.size(); ++r) {
    for (const TVirtualKey& key : numPad.Keys[r].Keys) {
      SCOPED_TRACE(i);
      EXPECT_EQ(cells[i].Top, tops[r]);
      const int rowHeight = r < 3 ? 30 : 29;
      if (key.Height == 92) {
        // "+" and Enter cover the next row too, and the row's bottom margin between them.
        const int next = r + 1 < 3 ? 30 : 29;
        EXPECT_EQ(cells[i].Height, rowHeight + next + numPad.Keys[r].BottomMargin);
      } else {
        EXPECT_EQ(cells[i].Height, rowHeight);
      }
      ++i;
    }
  }
}

TEST(KeySizing, NothingToSizeGivesNoCells) {
  TVirtualKeyLayout empty;
  EXPECT_TRUE(SizeKeys(empty, 784, 180).empty());
  TVirtualKeyLayout noWidth = BuiltIn("Standard101");
  noWidth.Width = 0;
  EXPECT_TRUE(SizeKeys(noWidth, 784, 180).empty());
}

}  // namespace
