#pragma once

#include <Qt>
#include <cstdint>
#include <optional>
#include <vector>

// How the person's keys, buttons and wheel turns are spelled on the wire: the flag words of the
// protocol's input events. Pure functions, so the encoding can be read and checked on its own.

// One mouse event's flags; extended events carry the back and forward buttons.
struct TRdpMouseFlags {
  std::uint16_t flags = 0;
  bool extended = false;
};

// A desktop coordinate as the protocol carries it.
[[nodiscard]] std::uint16_t Clamp16(int value);
// The flags of a button press or release; nothing for a button the protocol has no word for.
[[nodiscard]] std::optional<TRdpMouseFlags> MouseButtonFlags(Qt::MouseButton button, bool down);
// Wheel rotation in eighths of a degree (120 a notch), positive away from the user / right, as
// the mouse events that carry it.
[[nodiscard]] std::vector<std::uint16_t> WheelFlags(int delta, bool horizontal);
// The synchronize event's flags for the given lock keys.
[[nodiscard]] std::uint16_t LockStateFlags(bool capsLock, bool numLock, bool scrollLock);
