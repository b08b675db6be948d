#include "platform/shmsurface.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <unistd.h>
#include <QLoggingCategory>
#include <QVarLengthArray>
#include <cstdlib>

namespace {
Q_LOGGING_CATEGORY(lcShmSurface, "zentra.shmsurface", QtWarningMsg)

constexpr std::uint8_t kDepth = 24;
constexpr std::uint8_t kBitsPerPixel = 32;

// Whether the screen shows our pixels as they are: 24-bit TrueColor with red, green and blue in
// the usual bytes, stored as 32 bits a pixel, least significant byte first.
bool PixelsFit(const xcb_setup_t* setup, const xcb_screen_t* screen) {
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || screen->root_depth != kDepth)
    return false;
  bool stored = false;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem != 0;
       xcb_format_next(&formats)) {
    if (formats.data->depth == kDepth)
      stored = formats.data->bits_per_pixel == kBitsPerPixel && formats.data->scanline_pad == 32;
  }
  if (!stored) return false;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem != 0;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem != 0;
         xcb_visualtype_next(&visuals)) {
      const xcb_visualtype_t* visual = visuals.data;
      if (visual->visual_id != screen->root_visual) continue;
      return visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR && visual->red_mask == 0xff0000 &&
             visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
    }
  }
  return false;
}
}  // namespace

std::unique_ptr<TShmSurface> TShmSurface::Open(const char* display) {
  std::unique_ptr<TShmSurface> surface(new TShmSurface());
  surface->connection_ = xcb_connect(display, nullptr);
  xcb_connection_t* connection = surface->connection_;
  if (connection == nullptr || xcb_connection_has_error(connection) != 0) return nullptr;

  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_shm_id);
  if (extension == nullptr || extension->present == 0) return nullptr;
  xcb_shm_query_version_reply_t* version =
      xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr);
  if (version == nullptr) return nullptr;
  // Memory handed over as a file (rather than a System V segment) came with 1.2.
  const bool filesTaken =
      version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2);
  std::free(version);
  if (!filesTaken) return nullptr;

  const xcb_setup_t* setup = xcb_get_setup(connection);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
  if (screen == nullptr || !PixelsFit(setup, screen)) return nullptr;
  surface->root_ = screen->root;
  surface->depth_ = screen->root_depth;
  surface->gc_ = xcb_generate_id(connection);
  const std::uint32_t values[] = {0, 0};  // foreground black, no exposure events
  xcb_create_gc(connection, surface->gc_, surface->root_,
                XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
  return surface;
}

TShmSurface::~TShmSurface() {
  if (connection_ == nullptr) return;
  Detach();
  xcb_disconnect(connection_);
}

bool TShmSurface::Attach(int fd, QSize size) {
  Detach();
  if (fd < 0 || size.isEmpty() || xcb_connection_has_error(connection_) != 0) return false;
  // xcb closes the descriptor it sends; the caller keeps its own.
  const int sent = dup(fd);
  if (sent < 0) return false;
  const std::uint32_t segment = xcb_generate_id(connection_);
  xcb_generic_error_t* error =
      xcb_request_check(connection_, xcb_shm_attach_fd_checked(connection_, segment, sent, 1));
  if (error != nullptr) {
    // An X server on another machine cannot map our memory.
    qCInfo(lcShmSurface) << "the X server did not take the picture's memory, error"
                         << error->error_code;
    std::free(error);
    return false;
  }
  // A connection that cannot carry files (TCP) breaks on the way instead of answering.
  if (xcb_connection_has_error(connection_) != 0) return false;
  segment_ = segment;
  size_ = size;
  return true;
}

void TShmSurface::Detach() {
  if (segment_ == 0) return;
  xcb_shm_detach(connection_, segment_);
  xcb_flush(connection_);
  segment_ = 0;
  size_ = {};
}

void TShmSurface::Put(std::uint32_t window, const QRect& source, QPoint target) {
  const QRect part = source & QRect(QPoint(), size_);
  if (segment_ == 0 || part.isEmpty()) return;
  const QPoint at = target + (part.topLeft() - source.topLeft());
  xcb_shm_put_image(
      connection_, window, gc_, static_cast<std::uint16_t>(size_.width()),
      static_cast<std::uint16_t>(size_.height()), static_cast<std::uint16_t>(part.x()),
      static_cast<std::uint16_t>(part.y()), static_cast<std::uint16_t>(part.width()),
      static_cast<std::uint16_t>(part.height()), static_cast<std::int16_t>(at.x()),
      static_cast<std::int16_t>(at.y()), depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_, 0);
}

void TShmSurface::Fill(std::uint32_t window, const QRegion& region, QRgb colour) {
  if (region.isEmpty()) return;
  const std::uint32_t pixel = colour & 0xffffffu;
  if (pixel != gcColour_) {
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &pixel);
    gcColour_ = pixel;
  }
  QVarLengthArray<xcb_rectangle_t, 8> rectangles;
  for (const QRect& r : region) {
    rectangles.append({static_cast<std::int16_t>(r.x()), static_cast<std::int16_t>(r.y()),
                       static_cast<std::uint16_t>(r.width()),
                       static_cast<std::uint16_t>(r.height())});
  }
  xcb_poly_fill_rectangle(connection_, window, gc_, static_cast<std::uint32_t>(rectangles.size()),
                          rectangles.constData());
}

bool TShmSurface::Finish() {
  if (xcb_connection_has_error(connection_) != 0) return false;
  // One round trip: the server answers only after it has carried out every request before it,
  // the puts (and their reading of our memory) among them.
  std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  bool ok = xcb_connection_has_error(connection_) == 0;
  // Nothing asks this connection for events: what comes is the errors of unchecked requests.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    if (event->response_type == 0) {
      const auto* error = reinterpret_cast<const xcb_generic_error_t*>(event);
      qCInfo(lcShmSurface) << "a put failed, error" << error->error_code << "request"
                           << error->major_code << error->minor_code;
      ok = false;
    }
    std::free(event);
  }
  return ok;
}
