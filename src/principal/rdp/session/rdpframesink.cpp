#include <freerdp/codec/color.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>

#include <new>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcontext.h"
#include "principal/rdp/session/rdpframesink.h"

namespace {
constexpr int kBytesPerPixel = 4;
}  // namespace

// FreeRDP's plain function pointers, reaching the sink through the connection's context.
struct RdpFrameCallbacks {
  static TRdpFrameSink& Of(rdpContext* context) {
    return *reinterpret_cast<TSessionContext*>(context)->frame;
  }

  static BOOL BeginPaint(rdpContext* context) {
    TRdpFrameSink& sink = Of(context);
    if (!sink.Painting()) {
      sink.lock_->lock();
      sink.painter_ = std::this_thread::get_id();
    }
    HGDI_WND hwnd = context->gdi->primary->hdc->hwnd;
    hwnd->invalid->null = TRUE;
    hwnd->ninvalid = 0;
    return TRUE;
  }

  static BOOL EndPaint(rdpContext* context) {
    TRdpFrameSink& sink = Of(context);
    // The changed areas are only ours to read under the lock.
    if (!sink.Painting()) return TRUE;
    HGDI_WND hwnd = context->gdi->primary->hdc->hwnd;
    QRegion region;
    if (!hwnd->invalid->null) {
      for (INT32 i = 0; i < hwnd->ninvalid; ++i) {
        const auto& r = hwnd->cinvalid[i];
        region += QRect(r.x, r.y, r.w, r.h);
      }
    }
    sink.painter_ = std::thread::id{};
    sink.lock_->unlock();
    if (!region.isEmpty()) sink.listener_.FrameChanged(region);
    return TRUE;
  }

  // Both ways FreeRDP applies a new desktop size end here: a reactivation with the server's new
  // size (how xrdp and servers without the graphics pipeline answer a layout), and the graphics
  // pipeline's reset, which FreeRDP's drawing turns into this same call.
  static BOOL DesktopResize(rdpContext* context) {
    TRdpFrameSink& sink = Of(context);
    const rdpSettings* settings = context->settings;
    const UINT32 width = freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth);
    const UINT32 height = freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight);
    if (!sink.NewFrame(context, static_cast<int>(width), static_cast<int>(height))) return FALSE;
    return TRUE;
  }
};

TRdpFrameSink::TRdpFrameSink(Listener& listener) : listener_(listener) {}

TRdpFrameSink::~TRdpFrameSink() {
  ReleaseIfPainting();
}

void TRdpFrameSink::ReleaseIfPainting() {
  if (!Painting()) return;
  painter_ = std::thread::id{};
  lock_->unlock();
}

bool TRdpFrameSink::NewFrame(rdpContext* context, int width, int height) {
  // A size is the server's word: check it before it turns into an allocation.
  if (width <= 0 || height <= 0 || width > kMaxLayoutSide || height > kMaxLayoutSide) {
    qCWarning(lcRdp) << "refusing a desktop of" << width << "x" << height;
    refusal_ = kDiscReasonDesktopTooLarge;
    freerdp_abort_connect(context->instance);
    return false;
  }
  // A reactivation that kept the size keeps the frame: nothing is reallocated or drawn again.
  if (context->gdi != nullptr && frame_.width == width && frame_.height == height) return true;
  TRdpFrame next;
  next.lock = lock_;
  next.width = width;
  next.height = height;
  next.stride = width * kBytesPerPixel;
  next.pixels = std::shared_ptr<std::uint8_t[]>(new (
      std::nothrow) std::uint8_t[static_cast<size_t>(next.stride) * static_cast<size_t>(height)]());
  bool drawn = false;
  {
    // FreeRDP leaves the old image for the new one under the frame lock (already held when the
    // size changes in the middle of an update), so a reader sees one or the other, whole.
    std::unique_lock<std::mutex> held(*lock_, std::defer_lock);
    if (!Painting()) held.lock();
    drawn = next.pixels &&
            (context->gdi == nullptr
                 ? gdi_init_ex(context->instance, PIXEL_FORMAT_BGRX32,
                               static_cast<UINT32>(next.stride), next.pixels.get(), nullptr)
                 : gdi_resize_ex(context->gdi, static_cast<UINT32>(width),
                                 static_cast<UINT32>(height), static_cast<UINT32>(next.stride),
                                 PIXEL_FORMAT_BGRX32, next.pixels.get(), nullptr));
    if (drawn) frame_ = next;
  }
  if (!drawn) {
    qCWarning(lcRdp) << "no memory for a desktop of" << width << "x" << height;
    refusal_ = kDiscReasonNoMemory;
    freerdp_abort_connect(context->instance);
    return false;
  }
  // The view keeps the old image until it has the new one; each buffer lives while it is shown,
  // and FreeRDP no longer draws into the old one.
  qCInfo(lcRdp) << "the remote desktop is" << width << "x" << height;
  listener_.FrameReplaced(frame_);
  return true;
}

bool TRdpFrameSink::Attach(freerdp* instance) {
  rdpContext* context = instance->context;
  const UINT32 width = freerdp_settings_get_uint32(instance->settings, FreeRDP_DesktopWidth);
  const UINT32 height = freerdp_settings_get_uint32(instance->settings, FreeRDP_DesktopHeight);
  if (!NewFrame(context, static_cast<int>(width), static_cast<int>(height))) return false;
  rdpUpdate* update = instance->update;
  update->BeginPaint = RdpFrameCallbacks::BeginPaint;
  update->EndPaint = RdpFrameCallbacks::EndPaint;
  update->DesktopResize = RdpFrameCallbacks::DesktopResize;
  return true;
}

void TRdpFrameSink::Detach(freerdp* instance) {
  ReleaseIfPainting();
  gdi_free(instance);
}
