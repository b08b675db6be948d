#pragma once

#include <QList>
#include <QPixmap>

// The session window's status icons, 50 x 50 with a transparent background.
inline constexpr int kAlertImageSize = 50;
inline constexpr int kAlertImageConnecting = 0;
inline constexpr int kAlertImageDisconnected = 1;

// Entry 0: the globe shown while connecting; entry 1: the globe with the red badge shown after a
// disconnection.
[[nodiscard]] QList<QPixmap> AlertImages();
