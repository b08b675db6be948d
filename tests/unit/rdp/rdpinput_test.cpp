#include <gtest/gtest.h>

#include "principal/rdp/rdpgeometry.h"
#include "principal/rdp/rdpkeymap.h"

namespace {

TEST(RdpKeyMap, X11KeyCodesBecomeScanCodes) {
  struct Case {
    std::uint32_t x11;
    RdpScanCode scan;
    const char* key;
  };
  const Case cases[] = {
      {9, {0x01, false}, "Escape"},       {38, {0x1E, false}, "a"},
      {36, {0x1C, false}, "Return"},      {50, {0x2A, false}, "left Shift"},
      {62, {0x36, false}, "right Shift"}, {64, {0x38, false}, "left Alt"},
      {87, {0x4F, false}, "keypad 1"},    {94, {0x56, false}, "key left of Z (ISO)"},
      {95, {0x57, false}, "F11"},         {96, {0x58, false}, "F12"},
      {97, {0x73, false}, "ABNT /?"},     {104, {0x1C, true}, "keypad Enter"},
      {105, {0x1D, true}, "right Ctrl"},  {106, {0x35, true}, "keypad /"},
      {108, {0x38, true}, "AltGr"},       {110, {0x47, true}, "Home"},
      {111, {0x48, true}, "Up"},          {113, {0x4B, true}, "Left"},
      {119, {0x53, true}, "Delete"},      {133, {0x5B, true}, "left Windows"},
      {135, {0x5D, true}, "Menu"},        {129, {0x7E, false}, "keypad . (ABNT)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScanCodeFromX11KeyCode(c.x11), c.scan) << c.key;
  for (std::uint32_t none : {0u, 8u, 92u, 255u, 1000u})
    EXPECT_FALSE(ScanCodeFromX11KeyCode(none).Valid()) << none;
}

TEST(RdpKeyMap, EventsWithoutANativeCodeUseTheKeyPosition) {
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_A), (RdpScanCode{0x1E, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Z), (RdpScanCode{0x2C, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_1), (RdpScanCode{0x02, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_0), (RdpScanCode{0x0B, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_F1), (RdpScanCode{0x3B, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_F12), (RdpScanCode{0x58, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Left), (RdpScanCode{0x4B, true}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Enter), (RdpScanCode{0x1C, true}));
  EXPECT_FALSE(ScanCodeFromQtKey(Qt::Key_unknown).Valid());
  // A native code wins; a native code without a key falls back to the Qt key.
  EXPECT_EQ(ScanCodeForKeyEvent(38, Qt::Key_Q), (RdpScanCode{0x1E, false}));
  EXPECT_EQ(ScanCodeForKeyEvent(0, Qt::Key_Q), (RdpScanCode{0x10, false}));
  EXPECT_EQ(ScanCodeForKeyEvent(250, Qt::Key_Q), (RdpScanCode{0x10, false}));
}

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
