#include "principal/rdp/rdpdisplay.h"

#include <algorithm>
#include <cmath>

#include "principal/rdp/rdpgeometry.h"

namespace {
constexpr int kMinDesktopScale = 100;
constexpr int kMaxDesktopScale = 500;
// The protocol's physical sizes: 10 mm to 10 m, or the scale factors are ignored with them.
constexpr int kMinMillimetres = 10;
constexpr int kMaxMillimetres = 10000;
constexpr double kMillimetresPerInch = 25.4;
// The pixels per inch of a 100 % desktop.
constexpr double kBaseDotsPerInch = 96.0;
}  // namespace

QSize TRdpDisplayLayout::PhysicalMillimetres() const {
  const double dotsPerInch = kBaseDotsPerInch * desktopScale / 100.0;
  auto millimetres = [dotsPerInch](int pixels) {
    return std::clamp(static_cast<int>(std::lround(pixels * kMillimetresPerInch / dotsPerInch)),
                      kMinMillimetres, kMaxMillimetres);
  };
  return {millimetres(size.width()), millimetres(size.height())};
}

QSize BoundedLayoutSize(QSize size) {
  int width = std::clamp(size.width(), kMinLayoutSide, kMaxLayoutSide);
  width -= width % 2;
  return {width, std::clamp(size.height(), kMinLayoutSide, kMaxLayoutSide)};
}

QSize WithinArea(QSize size, std::uint64_t maxArea) {
  const auto area =
      static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(size.height());
  if (maxArea == 0 || area <= maxArea) return size;
  const double shrink = std::sqrt(static_cast<double>(maxArea) / static_cast<double>(area));
  QSize smaller(static_cast<int>(size.width() * shrink), static_cast<int>(size.height() * shrink));
  smaller = BoundedLayoutSize(smaller);
  return smaller;
}

int DesktopScaleFor(double devicePixelRatio) {
  if (!std::isfinite(devicePixelRatio)) return kMinDesktopScale;
  return std::clamp(static_cast<int>(std::lround(devicePixelRatio * 100.0)), kMinDesktopScale,
                    kMaxDesktopScale);
}

int DeviceScaleFor(int desktopScale) {
  if (desktopScale >= 180) return 180;
  if (desktopScale >= 140) return 140;
  return 100;
}

TRdpDisplayLayout DisplayLayoutFor(QSize logicalSize, double devicePixelRatio) {
  TRdpDisplayLayout layout;
  const double ratio =
      std::isfinite(devicePixelRatio) && devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  layout.size = BoundedLayoutSize(DeviceSize(logicalSize, ratio));
  layout.desktopScale = DesktopScaleFor(ratio);
  layout.deviceScale = DeviceScaleFor(layout.desktopScale);
  return layout;
}

void TRdpLayoutPacer::Open(const TRdpDisplayLayout& current) {
  open_ = true;
  sent_ = current;
  sentAt_.reset();
}

void TRdpLayoutPacer::Close() {
  open_ = false;
}

std::optional<TRdpLayoutPacer::Clock::duration> TRdpLayoutPacer::Pending(
    Clock::time_point now) const {
  if (!open_ || !wanted_ || *wanted_ == sent_) return std::nullopt;
  if (!sentAt_) return Clock::duration::zero();
  return std::max<Clock::duration>(Clock::duration::zero(), *sentAt_ + kLayoutInterval - now);
}

std::optional<TRdpDisplayLayout> TRdpLayoutPacer::Take(Clock::time_point now) {
  const auto wait = Pending(now);
  if (!wait || *wait > Clock::duration::zero()) return std::nullopt;
  sent_ = *wanted_;
  sentAt_ = now;
  return sent_;
}
