#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where the remote desktop sits on screen. In the window it is shown 1:1: centred on the
// background when the view is larger, scrolled when it is smaller. In full screen it is scaled to
// fit with its aspect kept.

// The desktop's rectangle in view coordinates, for a view of the given size scrolled by scroll.
[[nodiscard]] QRect DesktopRectInView(QSize view, QSize desktop, QPoint scroll);

// How far the view can scroll in each direction (0 where the desktop fits).
[[nodiscard]] QSize ScrollRange(QSize view, QSize desktop);

// The largest rectangle of the desktop's aspect that fits the screen, centred.
[[nodiscard]] QRect FitRect(QSize screen, QSize desktop);

// The desktop pixel under a point of a view where the desktop is drawn into target; points
// outside are pulled to the nearest edge pixel, so a drag that leaves the view still ends there.
[[nodiscard]] QPoint ViewToDesktop(QPoint at, QRect target, QSize desktop);

// The view rectangle that covers a desktop rectangle drawn into target (rounded outwards).
[[nodiscard]] QRect DesktopToView(QRect area, QRect target, QSize desktop);
