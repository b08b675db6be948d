#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "principal/rdp/rdpdisplay.h"

typedef struct rdp_context rdpContext;
typedef struct rdp_freerdp freerdp;

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
struct RdpFrame {
  std::shared_ptr<std::uint8_t[]> pixels;
  std::shared_ptr<std::mutex> lock;  // one per session, shared by all its frames
  int width = 0;
  int height = 0;
  int stride = 0;

  [[nodiscard]] bool IsNull() const { return !pixels || width <= 0 || height <= 0; }
  [[nodiscard]] QSize Size() const { return IsNull() ? QSize() : QSize(width, height); }
  // Keeps FreeRDP from drawing for as long as the returned lock is held (unlocked for a null
  // frame).
  [[nodiscard]] std::unique_lock<std::mutex> ReadLock() const;
  // The pixels as a QImage without a copy (FreeRDP's BGRX32 is QImage's RGB32 on little-endian).
  // Read it only under ReadLock().
  [[nodiscard]] QImage Image() const;
  // A copy of the pixels, taken under the lock.
  [[nodiscard]] QImage Copy() const;
};

// Our side of FreeRDP's drawing for one connection: the frame it draws into, the lock from
// BeginPaint to EndPaint, the changed areas after each update, and the bound on the desktop size
// that the server chooses. Callbacks run on whatever thread FreeRDP paints on.
class TRdpFrameSink {
 public:
  // What the sink reports, from the painting thread.
  class Listener {
   public:
    virtual ~Listener() = default;
    // A new image replaces the old one (connect, or the server changed the desktop size).
    virtual void FrameReplaced(const RdpFrame& frame) = 0;
    // These desktop areas were drawn (the lock has just been released).
    virtual void FrameChanged(const QRegion& region) = 0;
  };

  explicit TRdpFrameSink(Listener& listener);
  ~TRdpFrameSink();
  TRdpFrameSink(const TRdpFrameSink&) = delete;
  TRdpFrameSink& operator=(const TRdpFrameSink&) = delete;

  // After connecting: the first frame at the size the server settled on, FreeRDP's software
  // drawing into it and our paint and resize callbacks. The context must lead to this sink
  // (SessionFrameSink). False when the size is refused or memory runs out; see Refusal().
  [[nodiscard]] bool Attach(freerdp* instance);
  // After disconnecting: FreeRDP's drawing goes; the last frame stays with whoever shows it.
  void Detach(freerdp* instance);

  // The disconnect reason when the sink refused the server's desktop, 0 otherwise.
  [[nodiscard]] int Refusal() const { return refusal_; }
  [[nodiscard]] const RdpFrame& Frame() const { return frame_; }

 private:
  friend struct RdpFrameCallbacks;
  bool NewFrame(rdpContext* context, int width, int height);
  void ReleaseIfPainting();

  Listener& listener_;
  std::shared_ptr<std::mutex> lock_ = std::make_shared<std::mutex>();
  // The thread holding lock_ from BeginPaint to EndPaint. Two threads paint: the connection's
  // (bitmaps, surface commands, pointer updates) and, with the graphics pipeline, the dynamic
  // channels' thread; each pair is on one thread, and the lock keeps the two pairs apart.
  std::atomic<std::thread::id> painter_{};
  [[nodiscard]] bool Painting() const { return painter_.load() == std::this_thread::get_id(); }
  RdpFrame frame_;
  int refusal_ = 0;
};
