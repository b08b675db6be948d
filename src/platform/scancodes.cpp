#include "platform/scancodes.h"

#include <Qt>
#include <array>

namespace {

constexpr std::uint32_t kX11KeyCodeOffset = 8;

// Linux input codes 1..83 are the PC set-1 codes themselves, keypad included; the rest are listed
// here, as FreeRDP's own keyboard map has them.
struct ExtraKey {
  std::uint32_t input;
  TScanCode scan;
};
constexpr std::array kExtraKeys = {
    ExtraKey{89, {0x73, false}},   // KEY_RO
    ExtraKey{92, {0x79, false}},   // KEY_HENKAN
    ExtraKey{93, {0x70, false}},   // KEY_KATAKANAHIRAGANA
    ExtraKey{94, {0x7B, false}},   // KEY_MUHENKAN
    ExtraKey{96, {0x1C, true}},    // KEY_KPENTER
    ExtraKey{97, {0x1D, true}},    // KEY_RIGHTCTRL
    ExtraKey{98, {0x35, true}},    // KEY_KPSLASH
    ExtraKey{99, {0x37, true}},    // KEY_SYSRQ (Print Screen)
    ExtraKey{100, {0x38, true}},   // KEY_RIGHTALT (AltGr)
    ExtraKey{102, {0x47, true}},   // KEY_HOME
    ExtraKey{103, {0x48, true}},   // KEY_UP
    ExtraKey{104, {0x49, true}},   // KEY_PAGEUP
    ExtraKey{105, {0x4B, true}},   // KEY_LEFT
    ExtraKey{106, {0x4D, true}},   // KEY_RIGHT
    ExtraKey{107, {0x4F, true}},   // KEY_END
    ExtraKey{108, {0x50, true}},   // KEY_DOWN
    ExtraKey{109, {0x51, true}},   // KEY_PAGEDOWN
    ExtraKey{110, {0x52, true}},   // KEY_INSERT
    ExtraKey{111, {0x53, true}},   // KEY_DELETE
    ExtraKey{113, {0x20, true}},   // KEY_MUTE
    ExtraKey{114, {0x2E, true}},   // KEY_VOLUMEDOWN
    ExtraKey{115, {0x30, true}},   // KEY_VOLUMEUP
    ExtraKey{117, {0x59, false}},  // KEY_KPEQUAL
    ExtraKey{119, {0x46, true}},   // KEY_PAUSE: Break, what FreeRDP sends for Pause
    ExtraKey{121, {0x7E, false}},  // KEY_KPCOMMA
    ExtraKey{122, {0x72, false}},  // KEY_HANGEUL
    ExtraKey{123, {0x71, false}},  // KEY_HANJA
    ExtraKey{124, {0x7D, false}},  // KEY_YEN
    ExtraKey{125, {0x5B, true}},   // KEY_LEFTMETA
    ExtraKey{126, {0x5C, true}},   // KEY_RIGHTMETA
    ExtraKey{127, {0x5D, true}},   // KEY_COMPOSE (menu key)
};

struct QtKeyScan {
  int key;
  TScanCode scan;
};
// A US keyboard's positions; letters and digits are computed below.
constexpr std::array kQtKeys = {
    QtKeyScan{Qt::Key_Escape, {0x01, false}},
    QtKeyScan{Qt::Key_Minus, {0x0C, false}},
    QtKeyScan{Qt::Key_Underscore, {0x0C, false}},
    QtKeyScan{Qt::Key_Equal, {0x0D, false}},
    QtKeyScan{Qt::Key_Plus, {0x0D, false}},
    QtKeyScan{Qt::Key_Backspace, {0x0E, false}},
    QtKeyScan{Qt::Key_Tab, {0x0F, false}},
    QtKeyScan{Qt::Key_Backtab, {0x0F, false}},
    QtKeyScan{Qt::Key_BracketLeft, {0x1A, false}},
    QtKeyScan{Qt::Key_BraceLeft, {0x1A, false}},
    QtKeyScan{Qt::Key_BracketRight, {0x1B, false}},
    QtKeyScan{Qt::Key_BraceRight, {0x1B, false}},
    QtKeyScan{Qt::Key_Return, {0x1C, false}},
    QtKeyScan{Qt::Key_Enter, {0x1C, true}},
    QtKeyScan{Qt::Key_Control, {0x1D, false}},
    QtKeyScan{Qt::Key_Semicolon, {0x27, false}},
    QtKeyScan{Qt::Key_Colon, {0x27, false}},
    QtKeyScan{Qt::Key_Apostrophe, {0x28, false}},
    QtKeyScan{Qt::Key_QuoteDbl, {0x28, false}},
    QtKeyScan{Qt::Key_QuoteLeft, {0x29, false}},
    QtKeyScan{Qt::Key_AsciiTilde, {0x29, false}},
    QtKeyScan{Qt::Key_Shift, {0x2A, false}},
    QtKeyScan{Qt::Key_Backslash, {0x2B, false}},
    QtKeyScan{Qt::Key_Bar, {0x2B, false}},
    QtKeyScan{Qt::Key_Comma, {0x33, false}},
    QtKeyScan{Qt::Key_Less, {0x33, false}},
    QtKeyScan{Qt::Key_Period, {0x34, false}},
    QtKeyScan{Qt::Key_Greater, {0x34, false}},
    QtKeyScan{Qt::Key_Slash, {0x35, false}},
    QtKeyScan{Qt::Key_Question, {0x35, false}},
    QtKeyScan{Qt::Key_Alt, {0x38, false}},
    QtKeyScan{Qt::Key_Space, {0x39, false}},
    QtKeyScan{Qt::Key_CapsLock, {0x3A, false}},
    QtKeyScan{Qt::Key_NumLock, {0x45, false}},
    QtKeyScan{Qt::Key_ScrollLock, {0x46, false}},
    QtKeyScan{Qt::Key_AltGr, {0x38, true}},
    QtKeyScan{Qt::Key_Print, {0x37, true}},
    QtKeyScan{Qt::Key_Home, {0x47, true}},
    QtKeyScan{Qt::Key_Up, {0x48, true}},
    QtKeyScan{Qt::Key_PageUp, {0x49, true}},
    QtKeyScan{Qt::Key_Left, {0x4B, true}},
    QtKeyScan{Qt::Key_Right, {0x4D, true}},
    QtKeyScan{Qt::Key_End, {0x4F, true}},
    QtKeyScan{Qt::Key_Down, {0x50, true}},
    QtKeyScan{Qt::Key_PageDown, {0x51, true}},
    QtKeyScan{Qt::Key_Insert, {0x52, true}},
    QtKeyScan{Qt::Key_Delete, {0x53, true}},
    QtKeyScan{Qt::Key_Meta, {0x5B, true}},
    QtKeyScan{Qt::Key_Menu, {0x5D, true}},
    QtKeyScan{Qt::Key_Exclam, {0x02, false}},
    QtKeyScan{Qt::Key_At, {0x03, false}},
    QtKeyScan{Qt::Key_NumberSign, {0x04, false}},
    QtKeyScan{Qt::Key_Dollar, {0x05, false}},
    QtKeyScan{Qt::Key_Percent, {0x06, false}},
    QtKeyScan{Qt::Key_AsciiCircum, {0x07, false}},
    QtKeyScan{Qt::Key_Ampersand, {0x08, false}},
    QtKeyScan{Qt::Key_Asterisk, {0x09, false}},
    QtKeyScan{Qt::Key_ParenLeft, {0x0A, false}},
    QtKeyScan{Qt::Key_ParenRight, {0x0B, false}},
};

// Letters by their row position on a US keyboard.
constexpr std::array<std::uint8_t, 26> kLetterScan = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};

}  // namespace

TScanCode ScanCodeFromX11KeyCode(std::uint32_t keyCode) {
  if (keyCode <= kX11KeyCodeOffset) return {};
  const std::uint32_t input = keyCode - kX11KeyCodeOffset;
  // 84 is unassigned; 85 (zenkaku/hankaku) has no set-1 code of its own.
  if (input >= 1 && input <= 83) return {static_cast<std::uint16_t>(input), false};
  if (input == 86) return {0x56, false};  // the key between left Shift and Z
  if (input == 87) return {0x57, false};  // F11
  if (input == 88) return {0x58, false};  // F12
  for (const auto& extra : kExtraKeys)
    if (extra.input == input) return extra.scan;
  return {};
}

std::uint32_t X11KeyCodeFromScanCode(TScanCode scan) {
  if (!scan.Valid()) return 0;
  if (!scan.extended && scan.code <= 83) return scan.code + kX11KeyCodeOffset;
  if (!scan.extended && scan.code >= 86 && scan.code <= 88) return scan.code + kX11KeyCodeOffset;
  for (const auto& extra : kExtraKeys)
    if (extra.scan == scan) return extra.input + kX11KeyCodeOffset;
  return 0;
}

bool IsExtendedVk(int vk) {
  switch (vk) {
    case 0x21:  // Page Up
    case 0x22:  // Page Down
    case 0x23:  // End
    case 0x24:  // Home
    case 0x25:  // the arrows
    case 0x26:
    case 0x27:
    case 0x28:
    case 0x2C:  // Print Screen
    case 0x2D:  // Insert
    case 0x2E:  // Delete
    case 0x5B:  // left and right Windows keys, menu key
    case 0x5C:
    case 0x5D:
    case 0x6F:  // keypad /
    case 0xA3:  // right Ctrl
    case 0xA5:  // right Alt
      return true;
    default:
      return false;
  }
}

TScanCode ScanCodeFromQtKey(int qtKey) {
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return {kLetterScan[qtKey - Qt::Key_A], false};
  if (qtKey >= Qt::Key_1 && qtKey <= Qt::Key_9)
    return {static_cast<std::uint16_t>(0x02 + (qtKey - Qt::Key_1)), false};
  if (qtKey == Qt::Key_0) return {0x0B, false};
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F10)
    return {static_cast<std::uint16_t>(0x3B + (qtKey - Qt::Key_F1)), false};
  if (qtKey == Qt::Key_F11) return {0x57, false};
  if (qtKey == Qt::Key_F12) return {0x58, false};
  for (const auto& entry : kQtKeys)
    if (entry.key == qtKey) return entry.scan;
  return {};
}

TScanCode ScanCodeForKeyEvent(std::uint32_t nativeScanCode, int qtKey) {
  if (nativeScanCode != 0) {
    const TScanCode fromNative = ScanCodeFromX11KeyCode(nativeScanCode);
    if (fromNative.Valid()) return fromNative;
  }
  return ScanCodeFromQtKey(qtKey);
}
