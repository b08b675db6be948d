#include <gtest/gtest.h>

#include <chrono>

#include "principal/rdp/rdpdisplay.h"
#include "principal/rdp/rdpgeometry.h"

namespace {

TEST(RdpGeometry, ADesktopThatFitsIsShownOneToOneAndCentred) {
  const QSize desktop(1024, 768);
  EXPECT_EQ(DesktopTarget({1280, 900}, desktop), QRect(128, 66, 1024, 768));
  EXPECT_EQ(DesktopTarget({1024, 768}, desktop), QRect(0, 0, 1024, 768));
  // A full screen far larger: still 1:1, never enlarged.
  EXPECT_EQ(DesktopTarget({3840, 2160}, desktop), QRect(1408, 696, 1024, 768));

  const QRect shown(128, 66, 1024, 768);
  EXPECT_EQ(ViewToDesktop({128, 66}, shown, desktop), QPoint(0, 0));
  EXPECT_EQ(ViewToDesktop({128 + 321, 66 + 234}, shown, desktop), QPoint(321, 234));
  EXPECT_EQ(ViewToDesktop({5, 5000}, shown, desktop), QPoint(0, 767));  // pulled to the edge
  EXPECT_EQ(DesktopToView({10, 20, 30, 40}, shown, desktop), QRect(138, 86, 30, 40));
}

TEST(RdpGeometry, ALargerDesktopIsScaledDownWholeWithItsAspectKept) {
  const QSize desktop(1024, 768);
  // Smaller in both directions, and in one only: the whole desktop, centred on the other side.
  EXPECT_EQ(DesktopTarget({800, 600}, desktop), QRect(0, 0, 800, 600));
  EXPECT_EQ(DesktopTarget({1100, 600}, desktop), QRect(150, 0, 800, 600));
  EXPECT_EQ(DesktopTarget({600, 900}, desktop), QRect(0, 225, 600, 450));

  const QRect target(150, 0, 800, 600);
  EXPECT_EQ(ViewToDesktop({150, 0}, target, desktop), QPoint(0, 0));
  EXPECT_EQ(ViewToDesktop({150 + 400, 300}, target, desktop), QPoint(512, 384));
  EXPECT_EQ(ViewToDesktop({949, 599}, target, desktop), QPoint(1022, 766));
  EXPECT_EQ(ViewToDesktop({100, 300}, target, desktop).x(), 0);  // on the side band
  // A changed desktop pixel repaints at least the view pixels it covers.
  const QRect one = DesktopToView({512, 384, 1, 1}, target, desktop);
  EXPECT_TRUE(one.contains(QRect(550, 300, 1, 1)));
  EXPECT_LE(one.width(), 2);
}

TEST(RdpGeometry, LogicalAndDevicePixels) {
  // A 200 % screen: a logical pixel is two device pixels each way.
  EXPECT_EQ(DeviceSize({640, 493}, 2.0), QSize(1280, 986));
  EXPECT_EQ(DevicePoint({10.5, 3.25}, 2.0), QPoint(21, 6));
  EXPECT_EQ(LogicalRect({20, 40, 1280, 986}, 2.0), QRectF(10, 20, 640, 493));
  // An odd device rectangle is covered by whole logical pixels.
  EXPECT_EQ(LogicalCover({3, 3, 3, 3}, 2.0), QRect(1, 1, 2, 2));
  // 150 %: fractions of a device pixel are not pixels.
  EXPECT_EQ(DeviceSize({101, 101}, 1.5), QSize(151, 151));
}

TEST(RdpGeometry, ThePointerIsScaledWithThePictureAndTaggedWithTheScreensRatio) {
  // A 32 x 32 pointer with its hot spot at (10, 20) of a 1024 x 768 desktop; target in device
  // pixels, as DesktopTarget gives it.
  QImage pointer(32, 32, QImage::Format_ARGB32);
  pointer.fill(Qt::white);
  const QSize desktop(1024, 768);
  struct Case {
    const char* what;
    QRect target;
    qreal ratio;
    bool hotSpotInDevicePixels;
    QPoint hotSpot;  // what the server sent
    QSize size;
    QPoint shownHotSpot;
  } cases[] = {
      {"1:1", {128, 66, 1024, 768}, 1.0, true, {10, 20}, {32, 32}, {10, 20}},
      {"scaled to 600 x 450", {0, 25, 600, 450}, 1.0, true, {10, 20}, {19, 19}, {6, 12}},
      {"half the size", {0, 0, 512, 384}, 1.0, false, {10, 20}, {16, 16}, {5, 10}},
      // A 200 % screen showing a desktop of its own pixels: the same pixels, one on each device
      // pixel, the hot spot in the units the platform takes.
      {"1:1 at 200 %, X11", {0, 0, 1024, 768}, 2.0, true, {10, 20}, {32, 32}, {10, 20}},
      {"1:1 at 200 %, logical", {0, 0, 1024, 768}, 2.0, false, {10, 21}, {32, 32}, {5, 10}},
      {"half the size at 200 %", {0, 0, 512, 384}, 2.0, false, {10, 20}, {16, 16}, {2, 5}},
      // Nothing of the server's hot spot lands outside the image.
      {"hot spot beyond the image", {0, 0, 1024, 768}, 1.0, true, {500, -3}, {32, 32}, {31, 0}},
      {"a tiny pointer far down", {0, 0, 20, 15}, 1.0, true, {31, 31}, {1, 1}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TSurfacePointer shown =
        PointerOnSurface(pointer, c.hotSpot, c.target, desktop, c.ratio, c.hotSpotInDevicePixels);
    EXPECT_EQ(shown.image.size(), c.size);
    EXPECT_EQ(shown.image.devicePixelRatio(), c.ratio);
    EXPECT_EQ(shown.hotSpot, c.shownHotSpot);
  }
  EXPECT_TRUE(PointerOnSurface({}, {3, 3}, {0, 0, 512, 384}, desktop, 1.0, true).image.isNull());
}

TEST(RdpDisplayLayout, TheViewsDevicePixelsAndTheScreensScaleWithinTheProtocolsBounds) {
  struct Case {
    QSize logical;
    double ratio;
    QSize size;
    int desktopScale;
    int deviceScale;
  } cases[] = {
      {{1280, 986}, 1.0, {1280, 986}, 100, 100},
      {{1280, 986}, 2.0, {2560, 1972}, 200, 180},
      {{1001, 700}, 1.0, {1000, 700}, 100, 100},   // widths even
      {{1001, 700}, 1.25, {1250, 875}, 125, 100},  // 1251 made even
      {{800, 600}, 1.5, {1200, 900}, 150, 140},
      {{100, 50}, 1.0, {200, 200}, 100, 100},       // the smallest monitor
      {{9000, 9000}, 1.0, {8192, 8192}, 100, 100},  // the largest
      {{3000, 2000}, 6.0, {8192, 8192}, 500, 180},  // scale at most 500 %
      {{800, 600}, 0.5, {400, 300}, 100, 100},      // never below 100 %
  };
  for (const Case& c : cases) {
    const TRdpDisplayLayout layout = DisplayLayoutFor(c.logical, c.ratio);
    EXPECT_EQ(layout.size, c.size)
        << c.logical.width() << "x" << c.logical.height() << " @" << c.ratio;
    EXPECT_EQ(layout.desktopScale, c.desktopScale) << c.ratio;
    EXPECT_EQ(layout.deviceScale, c.deviceScale) << c.ratio;
  }
  // The physical size goes with the scale: the same millimetres for twice the pixels at 200 %.
  EXPECT_EQ(DisplayLayoutFor({1280, 986}, 1.0).PhysicalMillimetres(),
            DisplayLayoutFor({1280, 986}, 2.0).PhysicalMillimetres());
  // A server's area limit shrinks the size with its aspect kept, within the bounds.
  EXPECT_EQ(WithinArea({4000, 2000}, 2000000), QSize(2000, 1000));
  EXPECT_EQ(WithinArea({4000, 2000}, 0), QSize(4000, 2000));
  EXPECT_EQ(WithinArea({4000, 2000}, 10), QSize(200, 200));
}

TEST(RdpLayoutPacer, AtMostOneLayoutPerIntervalAndTheLastAlwaysSent) {
  using namespace std::chrono_literals;
  const auto t0 = TRdpLayoutPacer::Clock::time_point{} + 1h;
  auto layout = [](int width, int height, int scale = 100) {
    TRdpDisplayLayout l;
    l.size = QSize(width, height);
    l.desktopScale = scale;
    l.deviceScale = DeviceScaleFor(scale);
    return l;
  };
  TRdpLayoutPacer pacer;
  // Nothing goes out before the server takes layouts.
  pacer.Want(layout(1280, 986));
  EXPECT_FALSE(pacer.Take(t0));
  EXPECT_FALSE(pacer.Pending(t0));

  // Open with what the server shows: a different wish goes at once, the same one never.
  pacer.Open(layout(1280, 986));
  EXPECT_FALSE(pacer.Take(t0));
  pacer.Want(layout(1270, 950));
  ASSERT_TRUE(pacer.Take(t0));
  EXPECT_FALSE(pacer.Take(t0));

  // A drag: wishes within the interval wait; only the last one goes, when the interval is over.
  pacer.Want(layout(1200, 900));
  EXPECT_FALSE(pacer.Take(t0 + 50ms));
  pacer.Want(layout(1100, 800));
  EXPECT_EQ(pacer.Pending(t0 + 150ms), std::optional<TRdpLayoutPacer::Clock::duration>(50ms));
  EXPECT_FALSE(pacer.Take(t0 + 150ms));
  const auto sent = pacer.Take(t0 + 200ms);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->size, QSize(1100, 800));
  EXPECT_FALSE(pacer.Pending(t0 + 1s));

  // A new scale alone is a new layout; back to the size sent is nothing to send.
  pacer.Want(layout(1100, 800, 200));
  EXPECT_EQ(pacer.Take(t0 + 1s)->desktopScale, 200);
  pacer.Want(layout(1100, 800, 200));
  EXPECT_FALSE(pacer.Take(t0 + 2s));

  // The channel goes (a reconnection): nothing until it is back.
  pacer.Close();
  pacer.Want(layout(900, 700));
  EXPECT_FALSE(pacer.Take(t0 + 3s));
  pacer.Open(layout(1100, 800, 200));
  EXPECT_EQ(pacer.Take(t0 + 3s)->size, QSize(900, 700));
}

}  // namespace
