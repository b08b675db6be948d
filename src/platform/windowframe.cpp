#include "platform/windowframe.h"

#include <poll.h>
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// How long a window manager may take to answer; one that has not by then is taken to have none
// to give (the window is then placed by its client size alone, as without a window manager).
// Only a window manager that announced the request is waited for, so a busy desktop gets time to
// answer while a bare X server costs nothing.
constexpr int kFrameAnswerTimeoutMs = 2000;

struct XcbFree {
  void operator()(void* p) const { std::free(p); }  // NOLINT: xcb hands out malloc'ed replies
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// Our own connection, so that the answer's property event reaches us and not the toolkit; one for
// the program's life, since every window asks while it is created at start-up and a connection's
// set-up costs more than the question. Its atoms are asked for once, together.
struct Connection {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  xcb_atom_t extents = XCB_ATOM_NONE;
  xcb_atom_t request = XCB_ATOM_NONE;
  xcb_atom_t wmCheck = XCB_ATOM_NONE;
  xcb_atom_t supported = XCB_ATOM_NONE;

  Connection() {
    if (!Ok()) return;
    const char* names[] = {"_NET_FRAME_EXTENTS", "_NET_REQUEST_FRAME_EXTENTS",
                           "_NET_SUPPORTING_WM_CHECK", "_NET_SUPPORTED"};
    xcb_intern_atom_cookie_t cookies[4];
    for (int i = 0; i < 4; ++i)
      cookies[i] =
          xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    xcb_atom_t* atoms[] = {&extents, &request, &wmCheck, &supported};
    for (int i = 0; i < 4; ++i) {
      const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
      if (reply) *atoms[i] = reply->atom;
    }
  }
  ~Connection() { xcb_disconnect(c); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  [[nodiscard]] bool Ok() const { return xcb_connection_has_error(c) == 0; }
};

Connection& SharedConnection() {
  static Connection connection;
  return connection;
}

// Stops the window's property events on our connection once the answer is in (or not coming),
// so that nothing piles up there between questions.
struct PropertyWatch {
  xcb_connection_t* c;
  xcb_window_t window;
  ~PropertyWatch() {
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &none);
    xcb_flush(c);
  }
};

// The CARDINAL or ATOM list of a property; empty when the window has none.
std::vector<std::uint32_t> Property32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name,
                                      xcb_atom_t type) {
  const XcbReply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1024), nullptr));
  if (!reply || reply->format != 32) return {};
  const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

std::optional<QMargins> Extents(xcb_connection_t* c, xcb_window_t window, xcb_atom_t extents) {
  const std::vector<std::uint32_t> v = Property32(c, window, extents, XCB_ATOM_CARDINAL);
  if (v.size() != 4) return std::nullopt;
  // left, right, top, bottom
  return QMargins(static_cast<int>(v[0]), static_cast<int>(v[2]), static_cast<int>(v[1]),
                  static_cast<int>(v[3]));
}

// Whether a window manager names itself on the first screen's root (_NET_SUPPORTING_WM_CHECK).
bool WindowManagerRuns(xcb_connection_t* c) {
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen == nullptr) return false;
  constexpr char kName[] = "_NET_SUPPORTING_WM_CHECK";
  const XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(sizeof kName - 1), kName), nullptr));
  if (!atom || atom->atom == XCB_ATOM_NONE) return false;
  return !Property32(c, screen->root, atom->atom, XCB_ATOM_WINDOW).empty();
}

}  // namespace

std::optional<QMargins> WindowManagerFrame(WId id) {
  const auto* x11 =
      qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  // The offscreen platform answers to the X11 interface too, without a connection.
  if (x11 == nullptr || x11->connection() == nullptr || id == 0) return std::nullopt;
  if (QGuiApplication::platformName() != u"xcb") return std::nullopt;
  // The window was made on the toolkit's connection: a round trip there makes sure the server
  // has it before our own connection names it. Asking there first whether a window manager runs
  // at all is that round trip, and spares a bare X server the set-up of our own connection.
  xcb_connection_t* toolkit = x11->connection();
  if (!WindowManagerRuns(toolkit)) return std::nullopt;

  Connection& conn = SharedConnection();
  if (!conn.Ok()) return std::nullopt;
  xcb_connection_t* c = conn.c;
  const auto window = static_cast<xcb_window_t>(id);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_atom_t extents = conn.extents;
  const xcb_atom_t request = conn.request;
  if (screen == nullptr || extents == XCB_ATOM_NONE || request == XCB_ATOM_NONE)
    return std::nullopt;
  // What an earlier question left behind is of no use to this one.
  while (xcb_generic_event_t* stale = xcb_poll_for_event(c)) std::free(stale);

  // Only a running window manager that says it answers is asked.
  const std::vector<std::uint32_t> check =
      Property32(c, screen->root, conn.wmCheck, XCB_ATOM_WINDOW);
  if (check.empty()) return std::nullopt;
  const std::vector<std::uint32_t> supported =
      Property32(c, screen->root, conn.supported, XCB_ATOM_ATOM);
  if (std::find(supported.begin(), supported.end(), request) == supported.end())
    return std::nullopt;

  // Watch the window's properties before asking, so that the answer cannot slip past.
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
  const PropertyWatch watch{c, window};
  if (const auto known = Extents(c, window, extents)) return known;

  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = request;
  xcb_send_event(c, 0, screen->root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(c);

  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kFrameAnswerTimeoutMs) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      const XcbReply<xcb_generic_event_t> owned(event);
      if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) continue;
      const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
      if (notify->window == window && notify->atom == extents) return Extents(c, window, extents);
    }
    if (xcb_connection_has_error(c) != 0) return std::nullopt;
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(kFrameAnswerTimeoutMs - clock.elapsed()));
  }
  return std::nullopt;
}

namespace {

// The atoms of these names, asked for together: one round trip to the server, not one each.
template <std::size_t N>
std::array<xcb_atom_t, N> Atoms(xcb_connection_t* c, const std::array<const char*, N>& names) {
  std::array<xcb_intern_atom_cookie_t, N> cookies{};
  for (std::size_t i = 0; i < N; ++i)
    cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
  std::array<xcb_atom_t, N> atoms{};
  for (std::size_t i = 0; i < N; ++i) {
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
    atoms[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  return atoms;
}

}  // namespace

void MarkWindowRole(WId id, bool owned) {
  const auto* x11 =
      qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 == nullptr || x11->connection() == nullptr || id == 0) return;
  if (QGuiApplication::platformName() != u"xcb") return;
  // The toolkit's own connection: its requests reach the server in order, so the toolkit, which
  // keeps the states it finds on an unmapped window when it maps it, reads ours.
  xcb_connection_t* c = x11->connection();
  const auto window = static_cast<xcb_window_t>(id);
  const std::array<xcb_atom_t, 3> atoms =
      Atoms<3>(c, {"_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"});
  const xcb_atom_t state = atoms[0];
  const xcb_atom_t skipTaskbar = atoms[1];
  const xcb_atom_t skipPager = atoms[2];
  if (state == XCB_ATOM_NONE || skipTaskbar == XCB_ATOM_NONE || skipPager == XCB_ATOM_NONE) return;
  std::vector<std::uint32_t> states = Property32(c, window, state, XCB_ATOM_ATOM);
  std::erase_if(states, [&](std::uint32_t a) { return a == skipTaskbar || a == skipPager; });
  if (owned) {
    states.push_back(skipTaskbar);
    states.push_back(skipPager);
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, state, XCB_ATOM_ATOM, 32,
                      static_cast<std::uint32_t>(states.size()), states.data());
  xcb_flush(c);

  // A window hidden and shown again at once (a pop-up replaced by the next one) may be mapped
  // before the window manager has seen it withdrawn; letting it go, the window manager then clears
  // the states we just wrote, and takes the window on again without them. Asked once more after
  // the caller has mapped the window (the question is posted, and the caller maps before it
  // returns to the event loop), the window manager, which reads its events in the server's order,
  // has taken the window on again by the time it reads the request. A window not mapped by then
  // is none of its business, and the request is ignored.
  QMetaObject::invokeMethod(
      qGuiApp,
      [window, state, skipTaskbar, skipPager, owned] {
        const auto* application = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (application == nullptr || application->connection() == nullptr) return;
        xcb_connection_t* toolkit = application->connection();
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(toolkit)).data;
        if (screen == nullptr) return;
        constexpr std::uint32_t kRemove = 0, kAdd = 1, kFromApplication = 1;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = state;
        message.data.data32[0] = owned ? kAdd : kRemove;
        message.data.data32[1] = skipTaskbar;
        message.data.data32[2] = skipPager;
        message.data.data32[3] = kFromApplication;
        xcb_send_event(toolkit, 0, screen->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(toolkit);
      },
      Qt::QueuedConnection);
}
