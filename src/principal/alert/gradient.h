#pragma once

#include <QColor>
#include <QRect>
#include <vector>

class QPainter;

// One horizontal band of a vertical gradient: rows [top, top + rows) in one colour.
struct TGradientBand {
  int top = 0;
  int rows = 0;
  QColor color;

  friend bool operator==(const TGradientBand&, const TGradientBand&) = default;
};

// Splits a vertical gradient of `rows` rows into flat bands. With n requested bands the gradient
// uses b = max(2, min(n, rows)) bands of rows / b rows each; band i takes start + (end - start) *
// i / (b - 1) per channel, rounded to the nearest integer (halves away from zero); the rows left
// over at the bottom take the end colour. Fewer than 2 requested bands, or equal colours, give a
// single band in the start colour. Band tops are relative to the first row.
[[nodiscard]] std::vector<TGradientBand> GradientBands(int rows, int requestedBands,
                                                       const QColor& start, const QColor& end);

// Fills rect with the vertical gradient above.
void FillVerticalGradient(QPainter& painter, const QRect& rect, int requestedBands,
                          const QColor& start, const QColor& end);
