#pragma once

#include <cstdint>

// Keys travel to the remote side as PC scan codes (set 1), with the extended flag for the keys
// that a PC keyboard sends with an E0 prefix. The remote side applies its own keyboard layout,
// which the session sets from the local one, so only the key's position matters here.
struct RdpScanCode {
  std::uint16_t code = 0;
  bool extended = false;

  [[nodiscard]] bool Valid() const { return code != 0; }
  friend bool operator==(const RdpScanCode&, const RdpScanCode&) = default;
};

// The key at an X11 key code (the Linux input code plus 8, what Qt reports as a key event's
// native scan code under X11 and what xkbcommon uses); invalid for codes without a PC key.
[[nodiscard]] RdpScanCode ScanCodeFromX11KeyCode(std::uint32_t keyCode);

// For key events that carry no native code (synthesised events, platforms without one): the
// position of the Qt key on a US keyboard; invalid for keys without a fixed position.
[[nodiscard]] RdpScanCode ScanCodeFromQtKey(int qtKey);

// The scan code for a key event: its native code when it has one, else its Qt key.
[[nodiscard]] RdpScanCode ScanCodeForKeyEvent(std::uint32_t nativeScanCode, int qtKey);
