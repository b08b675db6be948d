// How the person's buttons, wheel turns and lock keys are spelled on the wire.
#include "principal/rdp/session/rdpinputflags.h"

#include <gtest/gtest.h>

namespace {

TEST(RdpInputFlags, ButtonsWheelAndLockKeysAsTheProtocolSpellsThem) {
  struct Button {
    Qt::MouseButton button;
    bool down;
    std::uint16_t flags;
    bool extended;
  };
  const Button buttons[] = {
      {Qt::LeftButton, true, 0x9000, false},  {Qt::LeftButton, false, 0x1000, false},
      {Qt::RightButton, true, 0xA000, false}, {Qt::MiddleButton, false, 0x4000, false},
      {Qt::BackButton, true, 0x8001, true},   {Qt::ForwardButton, false, 0x0002, true},
  };
  for (const auto& b : buttons) {
    const auto flags = MouseButtonFlags(b.button, b.down);
    ASSERT_TRUE(flags.has_value()) << b.button;
    EXPECT_EQ(flags->flags, b.flags) << b.button << b.down;
    EXPECT_EQ(flags->extended, b.extended) << b.button;
  }
  EXPECT_FALSE(MouseButtonFlags(Qt::TaskButton, true).has_value());

  // A notch is 120 in 9 bits with a sign; a long turn goes as notches, the rest last.
  const struct {
    int delta;
    bool horizontal;
    std::vector<std::uint16_t> steps;
  } wheels[] = {
      {120, false, {0x0278}},         {-120, false, {0x0388}},
      {-1, false, {0x03FF}},          {300, false, {0x0278, 0x0278, 0x023C}},
      {-240, true, {0x0588, 0x0588}}, {0, false, {}},
  };
  for (const auto& w : wheels) EXPECT_EQ(WheelFlags(w.delta, w.horizontal), w.steps) << w.delta;

  EXPECT_EQ(LockStateFlags(false, false, false), 0x0);
  EXPECT_EQ(LockStateFlags(true, false, false), 0x4);
  EXPECT_EQ(LockStateFlags(false, true, true), 0x3);
  EXPECT_EQ(Clamp16(-5), 0);
  EXPECT_EQ(Clamp16(70000), 0xFFFF);
}

}  // namespace
