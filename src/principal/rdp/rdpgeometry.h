#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>

// Where the remote desktop sits on a surface (the window's view or the full screen). Everything
// here is in device pixels, the ones the desktop's own pixels are drawn to: the desktop is shown
// whole, 1:1 and centred when it fits, scaled down with its aspect kept and centred when it does
// not, and never enlarged (an enlarged desktop only looks blurred; the server is asked for the
// surface's size instead).

// The desktop's rectangle on a surface of the given size.
[[nodiscard]] QRect DesktopTarget(QSize surface, QSize desktop);

// The desktop pixel under a point of a surface where the desktop is drawn into target; points
// outside are pulled to the nearest edge pixel, so a drag that leaves the view still ends there.
[[nodiscard]] QPoint ViewToDesktop(QPoint at, QRect target, QSize desktop);

// The surface rectangle that covers a desktop rectangle drawn into target (rounded outwards).
[[nodiscard]] QRect DesktopToView(QRect area, QRect target, QSize desktop);

// Between a widget's logical coordinates and its device pixels, for a device pixel ratio.
[[nodiscard]] QSize DeviceSize(QSize logical, qreal ratio);
[[nodiscard]] QPoint DevicePoint(QPointF logical, qreal ratio);
[[nodiscard]] QRectF LogicalRect(QRect device, qreal ratio);
// The logical rectangle that covers a device rectangle (rounded outwards).
[[nodiscard]] QRect LogicalCover(QRect device, qreal ratio);
// The device rectangle that covers a logical rectangle (rounded outwards).
[[nodiscard]] QRect DeviceCover(QRect logical, qreal ratio);

// The server's pointer as a surface shows it. Where the desktop is scaled down the pointer is
// scaled by the same factor, so it keeps its size against the picture under it; the hot spot
// moves with it and stays inside the image. The image carries the surface's device pixel ratio:
// each of its pixels is one device pixel, and a platform that scales cursors by the ratio does not
// enlarge it a second time. hotSpotInDevicePixels: the platform takes the hot spot in the image's
// own pixels rather than in logical ones.
struct TSurfacePointer {
  QImage image;
  QPoint hotSpot;
};
[[nodiscard]] TSurfacePointer PointerOnSurface(const QImage& image, QPoint hotSpot, QRect target,
                                               QSize desktop, qreal ratio,
                                               bool hotSpotInDevicePixels);
