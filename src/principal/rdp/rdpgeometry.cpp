#include "principal/rdp/rdpgeometry.h"

#include <algorithm>
#include <cmath>

QRect DesktopRectInView(QSize view, QSize desktop, QPoint scroll) {
  const int x =
      view.width() >= desktop.width() ? (view.width() - desktop.width()) / 2 : -scroll.x();
  const int y =
      view.height() >= desktop.height() ? (view.height() - desktop.height()) / 2 : -scroll.y();
  return {QPoint(x, y), desktop};
}

QSize ScrollRange(QSize view, QSize desktop) {
  return {std::max(0, desktop.width() - view.width()),
          std::max(0, desktop.height() - view.height())};
}

QRect FitRect(QSize screen, QSize desktop) {
  if (desktop.isEmpty() || screen.isEmpty()) return {QPoint(0, 0), screen};
  const QSize scaled = desktop.scaled(screen, Qt::KeepAspectRatio);
  return {QPoint((screen.width() - scaled.width()) / 2, (screen.height() - scaled.height()) / 2),
          scaled};
}

QPoint ViewToDesktop(QPoint at, QRect target, QSize desktop) {
  if (target.isEmpty() || desktop.isEmpty()) return {0, 0};
  const double sx = static_cast<double>(desktop.width()) / target.width();
  const double sy = static_cast<double>(desktop.height()) / target.height();
  const int x = static_cast<int>(std::floor((at.x() - target.x()) * sx));
  const int y = static_cast<int>(std::floor((at.y() - target.y()) * sy));
  return {std::clamp(x, 0, desktop.width() - 1), std::clamp(y, 0, desktop.height() - 1)};
}

QRect DesktopToView(QRect area, QRect target, QSize desktop) {
  if (desktop.isEmpty()) return {};
  if (target.size() == desktop) return area.translated(target.topLeft());
  const double sx = static_cast<double>(target.width()) / desktop.width();
  const double sy = static_cast<double>(target.height()) / desktop.height();
  const int left = static_cast<int>(std::floor(area.x() * sx));
  const int top = static_cast<int>(std::floor(area.y() * sy));
  const int right = static_cast<int>(std::ceil((area.x() + area.width()) * sx));
  const int bottom = static_cast<int>(std::ceil((area.y() + area.height()) * sy));
  return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)).translated(target.topLeft());
}
