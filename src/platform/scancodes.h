#pragma once

#include <cstdint>

// The one table between the key codes of this system and the keys of a PC keyboard.
//
// A PC key is a scan code of set 1 and, for the keys that a PC keyboard sends with an E0 prefix
// (the arrows and the block above them, Del, right Ctrl and AltGr, keypad Enter and /, Print
// Screen), the extended flag. That is what an RDP server is sent, and what the keyboard layouts'
// scan codes mean (without the flag: 83 is the keypad's Del, the flag makes it the Del key).
//
// A key of this system is an X11 key code: the Linux input code plus 8, what Qt reports as a key
// event's native scan code under X11 and what xkbcommon uses.
struct TScanCode {
  std::uint16_t code = 0;
  bool extended = false;

  [[nodiscard]] bool Valid() const { return code != 0; }
  friend bool operator==(const TScanCode&, const TScanCode&) = default;
};

// The PC key at an X11 key code; invalid for codes without one.
[[nodiscard]] TScanCode ScanCodeFromX11KeyCode(std::uint32_t keyCode);
// The X11 key code of a PC key; 0 when no key of this system is that key.
[[nodiscard]] std::uint32_t X11KeyCodeFromScanCode(TScanCode scan);

// For key events that carry no native code (synthesised events, platforms without one): the
// position of the Qt key on a US keyboard; invalid for keys without a fixed position.
[[nodiscard]] TScanCode ScanCodeFromQtKey(int qtKey);
// The PC key for a key event: its native code when it has one, else its Qt key.
[[nodiscard]] TScanCode ScanCodeForKeyEvent(std::uint32_t nativeScanCode, int qtKey);

// Whether a Windows virtual-key code names a key that a PC keyboard has only as an extended key
// (Delete, Insert, Home, End, Page Up and Down, the arrows, Print Screen, keypad /, the right
// Ctrl and Alt, the Windows and menu keys), where the scan code alone would name a keypad key.
[[nodiscard]] bool IsExtendedVk(int vk);
