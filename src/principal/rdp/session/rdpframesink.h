#pragma once

#include <QRegion>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "principal/rdp/rdpframe.h"

typedef struct rdp_context rdpContext;
typedef struct rdp_freerdp freerdp;

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
    virtual void FrameReplaced(const TRdpFrame& frame) = 0;
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
  [[nodiscard]] const TRdpFrame& Frame() const { return frame_; }

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
  TRdpFrame frame_;
  int refusal_ = 0;
};
