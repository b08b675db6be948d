#pragma once

#include <QSize>
#include <chrono>
#include <cstdint>
#include <optional>

// The remote desktop's size and scale as the session asks the server for them: at connection, and
// afterwards through the display control channel whenever the view changes.

// The bounds the protocol puts on a monitor: each side 200 to 8192 pixels, the width even. The
// upper one also bounds what a server may ask the frame to hold: above it would cost gigabytes.
inline constexpr int kMinLayoutSide = 200;
inline constexpr int kMaxLayoutSide = 8192;
// The size asked when nothing shows the desktop yet.
inline constexpr QSize kFallbackDesktopSize{1024, 768};

struct TRdpDisplayLayout {
  QSize size = kFallbackDesktopSize;  // device pixels
  int desktopScale = 100;             // percent, 100 to 500
  int deviceScale = 100;              // percent: 100, 140 or 180
  // The monitor's physical size in millimetres, derived from the scale.
  [[nodiscard]] QSize PhysicalMillimetres() const;
  bool operator==(const TRdpDisplayLayout&) const = default;
};

// The layout for a surface of logicalSize (Qt's device-independent pixels) on a screen of the
// given device pixel ratio: the surface's device pixels, within the protocol's bounds, and the
// ratio as the desktop's scale, so a 200 % screen gets a remote desktop of twice the pixels that
// draws its text at twice the size, sharp.
[[nodiscard]] TRdpDisplayLayout DisplayLayoutFor(QSize logicalSize, double devicePixelRatio);
// A size within the protocol's bounds: each side clamped, the width made even (downwards).
[[nodiscard]] QSize BoundedLayoutSize(QSize size);
// The largest size of the same aspect within maxArea pixels (a server's limit; 0 is none), kept
// within the protocol's bounds.
[[nodiscard]] QSize WithinArea(QSize size, std::uint64_t maxArea);
// The desktop scale for a device pixel ratio: 100 to 500 percent.
[[nodiscard]] int DesktopScaleFor(double devicePixelRatio);
// The device scale that goes with a desktop scale: the largest of 100, 140 and 180 not above it.
[[nodiscard]] int DeviceScaleFor(int desktopScale);

// Paces the layouts sent through the display control channel: at most one in kLayoutInterval,
// the last one wanted always sent in the end, nothing sent twice, and nothing before the server
// has said it takes layouts. Used by the session thread alone; times are given, not read.
class TRdpLayoutPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kLayoutInterval{200};

  // The server takes layouts from now on; current is what it shows now.
  void Open(const TRdpDisplayLayout& current);
  // The channel went away (a disconnection): nothing goes out until the next Open.
  void Close();
  [[nodiscard]] bool IsOpen() const { return open_; }
  void Want(const TRdpDisplayLayout& layout) { wanted_ = layout; }
  // The layout to send now, if one is due; it then counts as sent.
  [[nodiscard]] std::optional<TRdpDisplayLayout> Take(Clock::time_point now);
  // How long until Take gives a layout; nothing when none waits.
  [[nodiscard]] std::optional<Clock::duration> Pending(Clock::time_point now) const;

 private:
  bool open_ = false;
  std::optional<TRdpDisplayLayout> wanted_;
  TRdpDisplayLayout sent_;
  std::optional<Clock::time_point> sentAt_;
};
