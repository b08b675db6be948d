#pragma once

class TCustomKeyboardButton;

// Where the key state machine's effects go: the key events it sends and the faces and labels it
// changes. The on-screen keyboard widget is the one in the program; tests record what arrives.
class IKeySink {
 public:
  virtual ~IKeySink() = default;

  // A key-down or key-up as system input, codes completed (only the low byte of each counts).
  virtual void InjectKey(int vk, int scanCode, bool keyUp) = 0;
  // A key-down or key-up message with only a virtual-key code, straight to the focused window.
  virtual void PostKeyMessage(int vk, bool keyUp) = 0;
  // One button's face changed state.
  virtual void RepaintButton(const TCustomKeyboardButton& button) = 0;
  // The latch list changed: every label is recomputed and everything is painted.
  virtual void Redraw() = 0;
};
