#include "platform/scancodes.h"

#include <gtest/gtest.h>

#include <Qt>

namespace {

// The one table, both ways: what the physical keyboard's keys become at the remote, and which key
// of this system the on-screen keyboard's codes are delivered as.
TEST(ScanCodes, X11KeyCodesAndPcKeysBothWays) {
  struct Case {
    std::uint32_t x11;
    TScanCode scan;
    const char* key;
  };
  const Case cases[] = {
      {9, {0x01, false}, "Escape"},
      {38, {0x1E, false}, "a"},
      {36, {0x1C, false}, "Return"},
      {50, {0x2A, false}, "left Shift"},
      {62, {0x36, false}, "right Shift"},
      {64, {0x38, false}, "left Alt"},
      {94, {0x56, false}, "key left of Z (ISO)"},
      {95, {0x57, false}, "F11"},
      {96, {0x58, false}, "F12"},
      {97, {0x73, false}, "ABNT /?"},
      {132, {0x7D, false}, "Yen"},
      {129, {0x7E, false}, "keypad . (ABNT)"},
      // Print Screen and Pause as FreeRDP sends them.
      {107, {0x37, true}, "Print Screen / SysRq"},
      {127, {0x46, true}, "Pause"},
      // The keypad: its own codes, Enter and / extended.
      {63, {0x37, false}, "keypad *"},
      {77, {0x45, false}, "Num Lock"},
      {79, {0x47, false}, "keypad 7 / Home"},
      {80, {0x48, false}, "keypad 8 / Up"},
      {87, {0x4F, false}, "keypad 1"},
      {90, {0x52, false}, "keypad 0 / Ins"},
      {91, {0x53, false}, "keypad . / Del"},
      {104, {0x1C, true}, "keypad Enter"},
      {106, {0x35, true}, "keypad /"},
      // The arrows and the block above them.
      {111, {0x48, true}, "Up"},
      {113, {0x4B, true}, "Left"},
      {114, {0x4D, true}, "Right"},
      {116, {0x50, true}, "Down"},
      {110, {0x47, true}, "Home"},
      {118, {0x52, true}, "Insert"},
      {119, {0x53, true}, "Delete"},
      {105, {0x1D, true}, "right Ctrl"},
      {108, {0x38, true}, "AltGr"},
      {133, {0x5B, true}, "left Windows"},
      {135, {0x5D, true}, "Menu"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScanCodeFromX11KeyCode(c.x11), c.scan) << c.key;
    EXPECT_EQ(X11KeyCodeFromScanCode(c.scan), c.x11) << c.key;
  }
  for (std::uint32_t none : {0u, 8u, 92u, 255u, 1000u})
    EXPECT_FALSE(ScanCodeFromX11KeyCode(none).Valid()) << none;
  for (TScanCode none : {TScanCode{0, false}, TScanCode{0x54, false}, TScanCode{0x1E, true}})
    EXPECT_EQ(X11KeyCodeFromScanCode(none), 0u) << none.code;
}

TEST(ScanCodes, VirtualKeysOfExtendedOnlyKeys) {
  for (int vk :
       {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2C, 0x2D, 0x2E, 0x6F, 0xA3, 0xA5})
    EXPECT_TRUE(IsExtendedVk(vk)) << vk;
  // The keypad's own keys, Enter and the left-hand modifiers are not.
  for (int vk : {0x0D, 0x10, 0x11, 0x12, 0x14, 0x60, 0x68, 0x6E, 0x6A, 0xA2, 0xA4, 0x41})
    EXPECT_FALSE(IsExtendedVk(vk)) << vk;
}

TEST(ScanCodes, EventsWithoutANativeCodeUseTheKeyPosition) {
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_A), (TScanCode{0x1E, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Z), (TScanCode{0x2C, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_1), (TScanCode{0x02, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_0), (TScanCode{0x0B, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_F1), (TScanCode{0x3B, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_F12), (TScanCode{0x58, false}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Left), (TScanCode{0x4B, true}));
  EXPECT_EQ(ScanCodeFromQtKey(Qt::Key_Enter), (TScanCode{0x1C, true}));
  EXPECT_FALSE(ScanCodeFromQtKey(Qt::Key_unknown).Valid());
  // A native code wins; a native code without a key falls back to the Qt key.
  EXPECT_EQ(ScanCodeForKeyEvent(38, Qt::Key_Q), (TScanCode{0x1E, false}));
  EXPECT_EQ(ScanCodeForKeyEvent(0, Qt::Key_Q), (TScanCode{0x10, false}));
  EXPECT_EQ(ScanCodeForKeyEvent(250, Qt::Key_Q), (TScanCode{0x10, false}));
}

}  // namespace
