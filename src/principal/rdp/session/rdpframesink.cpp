#include <freerdp/codec/color.h>
#include <freerdp/codec/interleaved.h>
#include <freerdp/codec/planar.h>
#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>
#include <freerdp/settings.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcontext.h"
#include "principal/rdp/session/rdpframesink.h"

namespace {
constexpr int kBytesPerPixel = 4;

// FreeRDP's own drawing of bitmap updates, for the rectangles we leave to it: the same function
// for every connection.
std::atomic<pBitmapUpdate> gdiBitmapUpdate = nullptr;

struct FrameMemory {
  std::shared_ptr<std::uint8_t[]> pixels;
  int fd = -1;
};

// The pixels in a sealed memory file, so that the X server can take each picture straight from
// them instead of the view copying it into Qt's buffer first; plain memory where there are no
// memory files. Either way they start black.
FrameMemory AllocateFrame(std::size_t bytes) {
  const int fd = memfd_create("zentra-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd >= 0) {
    // Sealed at its size: a reader that maps it can never be cut short by it shrinking.
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0 &&
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
      void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (at != MAP_FAILED) {
        return {std::shared_ptr<std::uint8_t[]>(static_cast<std::uint8_t*>(at),
                                                [bytes, fd](std::uint8_t* pixels) {
                                                  munmap(pixels, bytes);
                                                  close(fd);
                                                }),
                fd};
      }
    }
    close(fd);
  }
  return {std::shared_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes]()), -1};
}

enum class InPlace { Drawn, NotOurs, Failed };

// A compressed bitmap rectangle decoded straight into the frame where it belongs. FreeRDP's own
// way decodes each rectangle into a bitmap of its own, allocated and freed again, and then copies
// it into the frame: for a picture that changes whole, that copy and the allocations were about
// a fifth of the session's CPU. The decoders are FreeRDP's, called as FreeRDP calls them, only
// with the frame at the rectangle's place as their destination; a rectangle that does not fit
// that (padded wider than the area it shows, reaching past the desktop, drawn under a clip, not
// compressed) goes FreeRDP's way.
InPlace DrawInPlace(rdpContext* context, const BITMAP_DATA& bitmap) {
  rdpGdi* gdi = context->gdi;
  if (!bitmap.compressed || gdi->dstFormat != PIXEL_FORMAT_BGRX32) return InPlace::NotOurs;
  const HGDI_DC hdc = gdi->primary->hdc;
  if (hdc->clip != nullptr && !hdc->clip->null) return InPlace::NotOurs;
  const UINT32 width = bitmap.width;
  const UINT32 height = bitmap.height;
  if (width == 0 || height == 0 || bitmap.destRight < bitmap.destLeft ||
      bitmap.destBottom < bitmap.destTop || bitmap.destRight - bitmap.destLeft + 1 != width ||
      bitmap.destBottom - bitmap.destTop + 1 != height)
    return InPlace::NotOurs;
  const auto frameWidth = static_cast<UINT32>(gdi->width);
  const auto frameHeight = static_cast<UINT32>(gdi->height);
  if (bitmap.destLeft >= frameWidth || bitmap.destTop >= frameHeight ||
      width > frameWidth - bitmap.destLeft || height > frameHeight - bitmap.destTop)
    return InPlace::NotOurs;
  const UINT32 stride = gdi->stride;
  BYTE* at = gdi->primary_buffer + static_cast<size_t>(bitmap.destTop) * stride +
             static_cast<size_t>(bitmap.destLeft) * kBytesPerPixel;
  bool decoded = false;
  if (bitmap.bitsPerPixel < 32) {
    decoded = interleaved_decompress(context->codecs->interleaved, bitmap.bitmapDataStream,
                                     bitmap.bitmapLength, width, height, bitmap.bitsPerPixel, at,
                                     gdi->dstFormat, stride, 0, 0, width, height, &gdi->palette);
  } else {
    freerdp_planar_switch_bgr(
        context->codecs->planar,
        freerdp_settings_get_bool(context->settings, FreeRDP_DrawAllowDynamicColorFidelity));
    decoded =
        planar_decompress(context->codecs->planar, bitmap.bitmapDataStream, bitmap.bitmapLength,
                          width, height, at, gdi->dstFormat, stride, 0, 0, width, height, TRUE);
  }
  if (!decoded) return InPlace::Failed;
  gdi_InvalidateRegion(hdc, static_cast<INT32>(bitmap.destLeft), static_cast<INT32>(bitmap.destTop),
                       static_cast<INT32>(width), static_cast<INT32>(height));
  return InPlace::Drawn;
}
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

  static BOOL BitmapUpdate(rdpContext* context, const BITMAP_UPDATE* update) {
    if (context == nullptr || update == nullptr || context->gdi == nullptr ||
        context->codecs == nullptr)
      return FALSE;
    for (UINT32 i = 0; i < update->number; ++i) {
      const BITMAP_DATA& bitmap = update->rectangles[i];
      switch (DrawInPlace(context, bitmap)) {
        case InPlace::Drawn:
          break;
        case InPlace::Failed:
          // What FreeRDP does with a rectangle its decoder refuses: the connection ends.
          return FALSE;
        case InPlace::NotOurs: {
          BITMAP_UPDATE one = *update;
          one.number = 1;
          one.count = 1;
          one.rectangles = const_cast<BITMAP_DATA*>(&bitmap);
          if (!gdiBitmapUpdate.load()(context, &one)) return FALSE;
          break;
        }
      }
    }
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
  FrameMemory memory =
      AllocateFrame(static_cast<std::size_t>(next.stride) * static_cast<std::size_t>(height));
  next.pixels = std::move(memory.pixels);
  next.fd = next.pixels ? memory.fd : -1;
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
  if (update->BitmapUpdate != nullptr && update->BitmapUpdate != RdpFrameCallbacks::BitmapUpdate) {
    gdiBitmapUpdate = update->BitmapUpdate;
    update->BitmapUpdate = RdpFrameCallbacks::BitmapUpdate;
  }
  return true;
}

void TRdpFrameSink::Detach(freerdp* instance) {
  ReleaseIfPainting();
  gdi_free(instance);
}
