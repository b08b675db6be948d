#include "principal/rdp/session/rdpinputflags.h"

#include <freerdp/input.h>

#include <algorithm>

namespace {

constexpr int kWheelStep = 120;

}  // namespace

std::uint16_t Clamp16(int value) {
  return static_cast<std::uint16_t>(std::clamp(value, 0, 0xFFFF));
}

std::optional<TRdpMouseFlags> MouseButtonFlags(Qt::MouseButton button, bool down) {
  std::uint16_t flags = 0;
  switch (button) {
    case Qt::LeftButton:
      flags = PTR_FLAGS_BUTTON1;
      break;
    case Qt::RightButton:
      flags = PTR_FLAGS_BUTTON2;
      break;
    case Qt::MiddleButton:
      flags = PTR_FLAGS_BUTTON3;
      break;
    case Qt::BackButton:
      return TRdpMouseFlags{
          static_cast<std::uint16_t>(PTR_XFLAGS_BUTTON1 | (down ? PTR_XFLAGS_DOWN : 0)), true};
    case Qt::ForwardButton:
      return TRdpMouseFlags{
          static_cast<std::uint16_t>(PTR_XFLAGS_BUTTON2 | (down ? PTR_XFLAGS_DOWN : 0)), true};
    default:
      return std::nullopt;
  }
  if (down) flags |= PTR_FLAGS_DOWN;
  return TRdpMouseFlags{flags, false};
}

std::vector<std::uint16_t> WheelFlags(int delta, bool horizontal) {
  // The protocol carries a 9-bit signed rotation; larger turns go as several steps.
  const std::uint16_t base = horizontal ? PTR_FLAGS_HWHEEL : PTR_FLAGS_WHEEL;
  std::vector<std::uint16_t> steps;
  while (delta != 0) {
    const int step = std::clamp(delta, -kWheelStep, kWheelStep);
    delta -= step;
    std::uint16_t flags = base;
    if (step < 0)
      flags |= PTR_FLAGS_WHEEL_NEGATIVE | static_cast<std::uint16_t>((0x200 + step) & 0xFF);
    else
      flags |= static_cast<std::uint16_t>(step & 0xFF);
    steps.push_back(flags);
  }
  return steps;
}

std::uint16_t LockStateFlags(bool capsLock, bool numLock, bool scrollLock) {
  std::uint16_t flags = 0;
  if (capsLock) flags |= KBD_SYNC_CAPS_LOCK;
  if (numLock) flags |= KBD_SYNC_NUM_LOCK;
  if (scrollLock) flags |= KBD_SYNC_SCROLL_LOCK;
  return flags;
}
