#include <gtest/gtest.h>

#include "principal/rdp/rdpgeometry.h"

namespace {

TEST(RdpGeometry, WindowShowsTheDesktopOneToOne) {
  const QSize desktop(1024, 768);
  // Larger view: centred, nothing to scroll.
  EXPECT_EQ(DesktopRectInView({1280, 900}, desktop, {0, 0}), QRect(128, 66, 1024, 768));
  EXPECT_EQ(ScrollRange({1280, 900}, desktop), QSize(0, 0));
  // Smaller view: placed by the scroll bars, which reach exactly the far edge.
  EXPECT_EQ(ScrollRange({800, 600}, desktop), QSize(224, 168));
  EXPECT_EQ(DesktopRectInView({800, 600}, desktop, {224, 10}), QRect(-224, -10, 1024, 768));
  // One direction larger, the other smaller.
  EXPECT_EQ(DesktopRectInView({1100, 600}, desktop, {0, 50}), QRect(38, -50, 1024, 768));

  const QRect shown(128, 66, 1024, 768);
  EXPECT_EQ(ViewToDesktop({128, 66}, shown, desktop), QPoint(0, 0));
  EXPECT_EQ(ViewToDesktop({128 + 321, 66 + 234}, shown, desktop), QPoint(321, 234));
  EXPECT_EQ(ViewToDesktop({5, 5000}, shown, desktop), QPoint(0, 767));  // pulled to the edge
  EXPECT_EQ(DesktopToView({10, 20, 30, 40}, shown, desktop), QRect(138, 86, 30, 40));
}

TEST(RdpGeometry, FullScreenScalesWithTheAspectKept) {
  const QSize desktop(1024, 768);
  EXPECT_EQ(FitRect({1920, 1080}, desktop), QRect(240, 0, 1440, 1080));
  EXPECT_EQ(FitRect({1280, 1024}, desktop), QRect(0, 32, 1280, 960));
  EXPECT_EQ(FitRect({1024, 768}, desktop), QRect(0, 0, 1024, 768));

  const QRect target(240, 0, 1440, 1080);
  EXPECT_EQ(ViewToDesktop({240, 0}, target, desktop), QPoint(0, 0));
  EXPECT_EQ(ViewToDesktop({240 + 720, 540}, target, desktop), QPoint(512, 384));
  EXPECT_EQ(ViewToDesktop({1679, 1079}, target, desktop), QPoint(1023, 767));
  EXPECT_EQ(ViewToDesktop({100, 500}, target, desktop).x(), 0);  // on the side band
  // A changed desktop pixel repaints at least the screen pixels it covers.
  const QRect one = DesktopToView({1, 1, 1, 1}, target, desktop);
  EXPECT_TRUE(one.contains(QRect(241, 1, 1, 1)));
  EXPECT_LE(one.width(), 3);
}

}  // namespace
