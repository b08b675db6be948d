#include "principal/rdp/rdpgeometry.h"

#include <algorithm>
#include <cmath>

QRect DesktopTarget(QSize surface, QSize desktop) {
  if (desktop.isEmpty() || surface.isEmpty()) return {};
  const QSize shown = desktop.width() <= surface.width() && desktop.height() <= surface.height()
                          ? desktop
                          : desktop.scaled(surface, Qt::KeepAspectRatio);
  return {QPoint((surface.width() - shown.width()) / 2, (surface.height() - shown.height()) / 2),
          shown};
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

QSize DeviceSize(QSize logical, qreal ratio) {
  // Qt rounds a window's device size the same way: a fraction of a pixel is not a pixel.
  return {static_cast<int>(std::floor(logical.width() * ratio + 1e-6)),
          static_cast<int>(std::floor(logical.height() * ratio + 1e-6))};
}

QPoint DevicePoint(QPointF logical, qreal ratio) {
  return {static_cast<int>(std::floor(logical.x() * ratio + 1e-6)),
          static_cast<int>(std::floor(logical.y() * ratio + 1e-6))};
}

QRectF LogicalRect(QRect device, qreal ratio) {
  return {device.x() / ratio, device.y() / ratio, device.width() / ratio, device.height() / ratio};
}

QRect LogicalCover(QRect device, qreal ratio) {
  if (device.isEmpty()) return {};
  const int left = static_cast<int>(std::floor(device.x() / ratio));
  const int top = static_cast<int>(std::floor(device.y() / ratio));
  const int right = static_cast<int>(std::ceil((device.x() + device.width()) / ratio));
  const int bottom = static_cast<int>(std::ceil((device.y() + device.height()) / ratio));
  return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

QRect DeviceCover(QRect logical, qreal ratio) {
  if (logical.isEmpty()) return {};
  const int left = static_cast<int>(std::floor(logical.x() * ratio));
  const int top = static_cast<int>(std::floor(logical.y() * ratio));
  const int right = static_cast<int>(std::ceil((logical.x() + logical.width()) * ratio));
  const int bottom = static_cast<int>(std::ceil((logical.y() + logical.height()) * ratio));
  return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

TSurfacePointer PointerOnSurface(const QImage& image, QPoint hotSpot, QRect target, QSize desktop,
                                 qreal ratio, bool hotSpotInDevicePixels) {
  TSurfacePointer shown{image, hotSpot};
  if (image.isNull()) return shown;
  double scale = 1.0;
  if (!target.isEmpty() && !desktop.isEmpty())
    scale = std::min({1.0, static_cast<double>(target.width()) / desktop.width(),
                      static_cast<double>(target.height()) / desktop.height()});
  if (scale < 1.0) {
    const QSize size(std::max(1, static_cast<int>(std::lround(image.width() * scale))),
                     std::max(1, static_cast<int>(std::lround(image.height() * scale))));
    shown.image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  // The pixel under the middle of the server's hot spot pixel; a server's hot spot outside its
  // own image is pulled to the nearest edge.
  auto place = [scale](int at, int side) {
    return std::clamp(static_cast<int>(std::floor((at + 0.5) * scale)), 0, side - 1);
  };
  shown.hotSpot = {place(hotSpot.x(), shown.image.width()),
                   place(hotSpot.y(), shown.image.height())};
  const qreal deviceRatio = ratio > 0 && std::isfinite(ratio) ? ratio : 1.0;
  shown.image.setDevicePixelRatio(deviceRatio);
  if (!hotSpotInDevicePixels)
    shown.hotSpot = {static_cast<int>(std::floor(shown.hotSpot.x() / deviceRatio)),
                     static_cast<int>(std::floor(shown.hotSpot.y() / deviceRatio))};
  return shown;
}
