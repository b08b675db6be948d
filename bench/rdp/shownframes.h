#pragma once
// Frames of the benchmark animation that reach an X display, counted outside the client: the
// session benchmark and the soak both read it. Include after Qt (Xlib's macros break Qt's headers).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "stamp.h"

// The animation's frame marker: a grey block at the desktop's top-left corner, in eight levels.
inline constexpr int kMarkerAt = 32;
inline constexpr int kMarkerLevels = 8;
// The server's desktop (its Xvfb screen, which the animation fills).
inline constexpr int kServerWidth = 1024;
inline constexpr int kServerHeight = 768;

// Counts the animation frames that reach a display: after each damage report it reads the frame
// marker of the client window (the display's one top-level window) and counts each change.
class ShownFrames {
 public:
  // Without an origin the client's desktop is its display's one top-level window; with one, it is
  // at that place of the screen (a desktop inside a larger window).
  explicit ShownFrames(const char* display, int originX = -1, int originY = -1)
      : originX_(originX), originY_(originY) {
    display_ = XOpenDisplay(display);
    int errorBase = 0;
    if (display_ == nullptr || !XDamageQueryExtension(display_, &eventBase_, &errorBase)) return;
    damage_ = XDamageCreate(display_, DefaultRootWindow(display_), XDamageReportNonEmpty);
    XFlush(display_);
    thread_ = std::thread([this] { Watch(); });
  }
  ~ShownFrames() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  ShownFrames(const ShownFrames&) = delete;
  ShownFrames& operator=(const ShownFrames&) = delete;

  [[nodiscard]] bool Working() const { return thread_.joinable(); }
  [[nodiscard]] int Count() const { return count_; }
  // How old each new stamp was when it reached the screen, in milliseconds, in order: the
  // latencies from the first'th on.
  [[nodiscard]] std::vector<int> Latencies(std::size_t first = 0) const {
    std::lock_guard lock(latenciesMutex_);
    if (first >= latencies_.size()) return {};
    return {latencies_.begin() + static_cast<std::ptrdiff_t>(first), latencies_.end()};
  }
  [[nodiscard]] std::size_t LatencyCount() const {
    std::lock_guard lock(latenciesMutex_);
    return latencies_.size();
  }

 private:
  // Where the client's desktop starts on the screen: its one mapped top-level window, where a
  // window larger than the desktop shows it centred (ours; xfreerdp's window takes the desktop's
  // size).
  bool FindClient(int& x, int& y) {
    if (originX_ >= 0) {
      x = originX_;
      y = originY_;
      return true;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
      return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
      XWindowAttributes attributes{};
      if (XGetWindowAttributes(display_, children[i], &attributes) &&
          attributes.map_state == IsViewable && attributes.width >= 2 * kMarkerAt) {
        x = attributes.x + std::max(0, (attributes.width - kServerWidth) / 2);
        y = attributes.y + std::max(0, (attributes.height - kServerHeight) / 2);
        found = true;
      }
    }
    if (children != nullptr) XFree(children);
    return found;
  }

  // The stamp on the screen, if one can be read.
  std::optional<std::uint16_t> Stamp(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x + kStampX, y + kStampY,
                              kStampWidth, kStampHeight, AllPlanes, ZPixmap);
    if (image == nullptr) return std::nullopt;
    const auto stamp = ReadStamp([image](int px, int py) {
      const unsigned long pixel = XGetPixel(image, px, py);
      return static_cast<int>(((pixel >> 16) & 0xFF) + ((pixel >> 8) & 0xFF) + (pixel & 0xFF)) / 3;
    });
    XDestroyImage(image);
    return stamp;
  }

  // The frame level the marker shows, -1 when there is no client window.
  int MarkerLevel(int x, int y) {
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), x + kMarkerAt, y + kMarkerAt,
                              1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) return -1;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    const int grey =
        static_cast<int>(((pixel >> 16) & 0xFF) + ((pixel >> 8) & 0xFF) + (pixel & 0xFF)) / 3;
    return std::clamp(grey / 32, 0, kMarkerLevels - 1);  // levels sit at 16 + 32 k
  }

  void Watch() {
    const int fd = ConnectionNumber(display_);
    int last = -1;
    std::optional<std::uint16_t> lastStamp;
    while (!stop_) {
      if (XPending(display_) == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval wait{0, 50000};
        select(fd + 1, &readable, nullptr, nullptr, &wait);
        continue;
      }
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type != eventBase_ + XDamageNotify) continue;
      // Reports resume once the damage seen so far is taken away.
      XDamageSubtract(display_, damage_, None, None);
      int x = 0;
      int y = 0;
      if (!FindClient(x, y)) {
        last = -1;
        continue;
      }
      const int level = MarkerLevel(x, y);
      if (level >= 0 && level != last) ++count_;
      last = level;
      const auto stamp = Stamp(x, y);
      if (stamp && stamp != lastStamp) {
        const int age = StampAge(*stamp);
        std::lock_guard lock(latenciesMutex_);
        latencies_.push_back(age);
      }
      if (stamp) lastStamp = stamp;
    }
  }

  int originX_;
  int originY_;
  Display* display_ = nullptr;
  int eventBase_ = 0;
  Damage damage_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_ = false;
  std::atomic<int> count_ = 0;
  mutable std::mutex latenciesMutex_;
  std::vector<int> latencies_;
};
