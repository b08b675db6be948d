#pragma once

#include <QRegion>
#include <QRgb>
#include <QSize>
#include <cstdint>
#include <memory>

typedef struct xcb_connection_t xcb_connection_t;

// Pictures put into X windows straight from a memory file of ours (MIT-SHM 1.2, the file handed
// to the X server), without a copy into a toolkit's buffer on the way. It speaks to the X server
// on a connection of its own, so that its requests and their errors (a window that went away, a
// server on another machine that cannot map our memory) stay ours: none is fatal, none reaches
// the toolkit, each turns into a false result that sends the caller back to ordinary painting.
//
// The pixels are 32 bits a pixel, blue first (little-endian 0xXXRRGGBB), rows width * 4 bytes
// apart: what a 24-bit TrueColor X server with LSB-first images reads as it is.
class TShmSurface {
 public:
  // Null where this cannot work: no X server at display ($DISPLAY when null), no MIT-SHM 1.2,
  // or a screen whose pixels are not laid out as above.
  [[nodiscard]] static std::unique_ptr<TShmSurface> Open(const char* display = nullptr);
  ~TShmSurface();
  TShmSurface(const TShmSurface&) = delete;
  TShmSurface& operator=(const TShmSurface&) = delete;

  // Makes the memory file fd (a picture of size) the source of the following puts, in place of
  // the one before. The X server maps it read-only; fd stays the caller's. False (and nothing
  // attached) when the server refuses it.
  [[nodiscard]] bool Attach(int fd, QSize size);
  void Detach();
  [[nodiscard]] bool Attached() const { return segment_ != 0; }

  // Queues a copy of source (picture pixels) into window with its top left at target (window
  // pixels). Nothing is read before Finish().
  void Put(std::uint32_t window, const QRect& source, QPoint target);
  // Queues filling region of window with colour.
  void Fill(std::uint32_t window, const QRegion& region, QRgb colour);
  // Sends what is queued and waits until the server has done it: from then on the pixels may
  // change. False when a request failed since the last Finish (the window went away, ...) or the
  // connection is lost.
  [[nodiscard]] bool Finish();

 private:
  TShmSurface() = default;

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  std::uint8_t depth_ = 0;
  std::uint32_t gc_ = 0;        // for the screen's depth; one for every window of it
  std::uint32_t gcColour_ = 0;  // the foreground the GC has now
  std::uint32_t segment_ = 0;   // 0 while nothing is attached
  QSize size_;
};
