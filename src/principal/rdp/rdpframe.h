#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "principal/rdp/rdpdisplay.h"

// Reasons of OnDisconnected for a desktop the control refuses to draw. They sit in a range the
// server's error-info codes do not use and below FreeRDP's own codes (class in the high word).
inline constexpr int kDiscReasonDesktopTooLarge = 0x7A01;
inline constexpr int kDiscReasonNoMemory = 0x7A02;
inline constexpr char16_t kDesktopTooLargeText[] =
    u"The server asked for a desktop larger than 8192 x 8192 pixels";
inline constexpr char16_t kNoMemoryText[] =
    u"There is not enough memory to draw the remote desktop";

// The desktop image FreeRDP draws into, kept alive by whoever still shows it. FreeRDP writes it
// on the session thread from BeginPaint to EndPaint with the lock held; whoever reads the pixels
// takes the same lock, so nobody ever sees a half-drawn frame.
struct TRdpFrame {
  std::shared_ptr<std::uint8_t[]> pixels;
  // A memory file holding the pixels (open for as long as they live), so that the X server can
  // read them straight from here; -1 when they are plain memory of this process.
  int fd = -1;
  std::shared_ptr<std::mutex> lock;  // one per session, shared by all its frames
  int width = 0;
  int height = 0;
  int stride = 0;

  [[nodiscard]] bool IsNull() const { return !pixels || width <= 0 || height <= 0; }
  [[nodiscard]] QSize Size() const { return IsNull() ? QSize() : QSize(width, height); }
  [[nodiscard]] std::size_t Bytes() const {
    return IsNull() ? 0 : static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
  }
  // Keeps FreeRDP from drawing for as long as the returned lock is held (unlocked for a null
  // frame).
  [[nodiscard]] std::unique_lock<std::mutex> ReadLock() const;
  // The pixels as a QImage without a copy (FreeRDP's BGRX32 is QImage's RGB32 on little-endian).
  // Read it only under ReadLock().
  [[nodiscard]] QImage Image() const;
  // A copy of the pixels, taken under the lock.
  [[nodiscard]] QImage Copy() const;
};
