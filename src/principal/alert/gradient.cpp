#include "principal/alert/gradient.h"

#include <QPainter>
#include <algorithm>

namespace {

// start + delta * i / steps rounded to the nearest integer, halves away from zero, in integers so
// that no colour depends on floating-point rounding.
int Interpolate(int start, int end, int i, int steps) {
  const long long numerator = static_cast<long long>(end - start) * i;
  const long long rounded = numerator >= 0 ? (2 * numerator + steps) / (2LL * steps)
                                           : -((-2 * numerator + steps) / (2LL * steps));
  return start + static_cast<int>(rounded);
}

}  // namespace

std::vector<TGradientBand> GradientBands(int rows, int requestedBands, const QColor& start,
                                         const QColor& end) {
  std::vector<TGradientBand> bands;
  if (rows <= 0) return bands;
  if (requestedBands < 2 || start.rgb() == end.rgb()) {
    bands.push_back({0, rows, start});
    return bands;
  }
  const int count = std::max(2, std::min(requestedBands, rows));
  const int bandRows = rows / count;
  for (int i = 0; i < count; ++i) {
    const QColor color(Interpolate(start.red(), end.red(), i, count - 1),
                       Interpolate(start.green(), end.green(), i, count - 1),
                       Interpolate(start.blue(), end.blue(), i, count - 1));
    if (bandRows > 0) bands.push_back({i * bandRows, bandRows, color});
  }
  const int remainder = rows % count;
  if (remainder > 0) bands.push_back({rows - remainder, remainder, end});
  return bands;
}

void FillVerticalGradient(QPainter& painter, const QRect& rect, int requestedBands,
                          const QColor& start, const QColor& end) {
  for (const TGradientBand& band : GradientBands(rect.height(), requestedBands, start, end)) {
    painter.fillRect(QRect(rect.left(), rect.top() + band.top, rect.width(), band.rows),
                     band.color);
  }
}
