#pragma once

#include <vector>

#include "principal/keyboard/virtualkeylayout.h"

// A key's cell on the keyboard, in pixels.
struct TKeyCell {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;

  friend bool operator==(const TKeyCell&, const TKeyCell&) = default;
};

// The cells of a layout's keys, in layout order (row by row, left to right), for a keyboard of
// width x height pixels. Fixed keys scale with the width; stretch keys share what is left of their
// row in proportion to their layout widths; rows are stacked from the top, the first ones a pixel
// taller when the height does not divide evenly; a key taller than a row also covers the next.
// Empty for a layout without keys or without a width.
[[nodiscard]] std::vector<TKeyCell> SizeKeys(const TVirtualKeyLayout& layout, int width,
                                             int height);
