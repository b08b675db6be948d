#pragma once

#include <QMargins>
#include <QWindow>
#include <optional>

// The frame a window manager draws around a top-level window: the title bar and borders, which
// Qt only learns once the window is mapped and framed, too late to size or centre it by its outer
// rectangle. The window manager tells it earlier when asked (the EWMH _NET_REQUEST_FRAME_EXTENTS
// request, answered with _NET_FRAME_EXTENTS on the window, before it is ever mapped).
//
// The frame of a native top-level window (QWidget::winId()) as its window manager gives it; the
// frame it already has once framed. nullopt when there is no X11 window manager that answers (no
// window manager, another platform, or no answer within a bounded wait).
[[nodiscard]] std::optional<QMargins> WindowManagerFrame(WId window);

// Tells the window manager, before a native top-level window is mapped, whether it is one of the
// application's owned windows, left out of taskbars and pagers (_NET_WM_STATE_SKIP_TASKBAR and
// _NET_WM_STATE_SKIP_PAGER), or the one window that has the application's entry; the caller maps
// the window before it returns to the event loop, where the window manager is asked once more, so
// that the role holds whenever the window manager takes the window on. Does nothing off X11.
void MarkWindowRole(WId window, bool owned);
