// The keys of the active layout: what each types, and the virtual-key codes and scan codes that
// name it.
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstdint>

#include "platform/scancodes.h"
#include "platform/systemkeyboard.h"

namespace {

// X11 key codes are the Linux input codes shifted by this much.
constexpr int kX11KeyCodeOffset = 8;
constexpr int kRightAltKeyCode = 100 + kX11KeyCodeOffset;  // KEY_RIGHTALT: the third-level key

// Virtual-key codes by scan code on a US keyboard, as the other platform's layouts assign them
// to positions. Keys of the numeric keypad name their navigation meaning, as scan codes without
// the E0 prefix do there (72 is the up arrow, 83 is Delete).
constexpr std::array<std::uint8_t, 128> kUsVkByScanCode = [] {
  std::array<std::uint8_t, 128> t{};
  const char* row1 = "QWERTYUIOP";
  const char* row2 = "ASDFGHJKL";
  const char* row3 = "ZXCVBNM";
  t[1] = 0x1B;  // Esc
  for (int i = 0; i < 9; ++i) t[2 + i] = static_cast<std::uint8_t>('1' + i);
  t[11] = '0';
  t[12] = 0xBD;  // OEM minus
  t[13] = 0xBB;  // OEM plus
  t[14] = 0x08;  // Backspace
  t[15] = 0x09;  // Tab
  for (int i = 0; i < 10; ++i) t[16 + i] = static_cast<std::uint8_t>(row1[i]);
  t[26] = 0xDB;  // OEM 4 [
  t[27] = 0xDD;  // OEM 6 ]
  t[28] = 0x0D;  // Enter
  t[29] = 0x11;  // Ctrl
  for (int i = 0; i < 9; ++i) t[30 + i] = static_cast<std::uint8_t>(row2[i]);
  t[39] = 0xBA;  // OEM 1 ;
  t[40] = 0xDE;  // OEM 7 '
  t[41] = 0xC0;  // OEM 3 `
  t[42] = 0x10;  // Shift
  t[43] = 0xDC;  // OEM 5 backslash
  for (int i = 0; i < 7; ++i) t[44 + i] = static_cast<std::uint8_t>(row3[i]);
  t[51] = 0xBC;                                                                  // OEM comma
  t[52] = 0xBE;                                                                  // OEM period
  t[53] = 0xBF;                                                                  // OEM 2 /
  t[54] = 0x10;                                                                  // right Shift
  t[55] = 0x6A;                                                                  // keypad *
  t[56] = 0x12;                                                                  // Alt
  t[57] = 0x20;                                                                  // Space
  t[58] = 0x14;                                                                  // Caps Lock
  for (int i = 0; i < 10; ++i) t[59 + i] = static_cast<std::uint8_t>(0x70 + i);  // F1-F10
  t[69] = 0x90;                                                                  // Num Lock
  t[70] = 0x91;                                                                  // Scroll Lock
  t[71] = 0x24;                                                                  // Home
  t[72] = 0x26;                                                                  // Up
  t[73] = 0x21;                                                                  // Page Up
  t[74] = 0x6D;                                                                  // keypad -
  t[75] = 0x25;                                                                  // Left
  t[76] = 0x0C;                                                                  // Clear
  t[77] = 0x27;                                                                  // Right
  t[78] = 0x6B;                                                                  // keypad +
  t[79] = 0x23;                                                                  // End
  t[80] = 0x28;                                                                  // Down
  t[81] = 0x22;                                                                  // Page Down
  t[82] = 0x2D;                                                                  // Insert
  t[83] = 0x2E;                                                                  // Delete
  t[86] = 0xE2;    // OEM 102, the extra key of ISO keyboards
  t[87] = 0x7A;    // F11
  t[88] = 0x7B;    // F12
  t[0x70] = 0x15;  // Kana (Japanese keyboards)
  t[0x73] = 0xC1;  // ABNT C1 / Japanese Ro
  t[0x79] = 0x1C;  // Convert
  t[0x7B] = 0x1D;  // NonConvert
  t[0x7D] = 0xDC;  // Yen
  t[0x7E] = 0xC2;  // ABNT C2, keypad . of Brazilian keyboards
  return t;
}();

// Virtual-key codes that no scan code maps to but that name a key all the same.
struct VkScan {
  int vk;
  int scan;
};
constexpr VkScan kExtraVkScanCodes[] = {
    {0xA0, 42},   {0xA1, 54},   {0xA2, 29},   {0xA3, 29}, {0xA4, 56},
    {0xA5, 56},                                                        // left/right mods
    {0x60, 82},   {0x61, 79},   {0x62, 80},   {0x63, 81}, {0x64, 75},  // keypad 0-4
    {0x65, 76},   {0x66, 77},   {0x67, 71},   {0x68, 72}, {0x69, 73},  // keypad 5-9
    {0x6E, 83},   {0x6F, 53},                                          // keypad . and /
    {0x2F, 0x63}, {0x13, 0x45}, {0x2C, 0x37},                          // Help, Pause, Print
};

// The spacing character of each dead key, which is what the key's label shows.
struct DeadChar {
  xkb_keysym_t sym;
  char16_t ch;
};
constexpr DeadChar kDeadKeyCharacters[] = {
    {XKB_KEY_dead_grave, u'`'},           {XKB_KEY_dead_acute, u'\u00B4'},
    {XKB_KEY_dead_circumflex, u'^'},      {XKB_KEY_dead_tilde, u'~'},
    {XKB_KEY_dead_macron, u'\u00AF'},     {XKB_KEY_dead_breve, u'\u02D8'},
    {XKB_KEY_dead_abovedot, u'\u02D9'},   {XKB_KEY_dead_diaeresis, u'\u00A8'},
    {XKB_KEY_dead_abovering, u'\u02DA'},  {XKB_KEY_dead_doubleacute, u'\u02DD'},
    {XKB_KEY_dead_caron, u'\u02C7'},      {XKB_KEY_dead_cedilla, u'\u00B8'},
    {XKB_KEY_dead_ogonek, u'\u02DB'},     {XKB_KEY_dead_iota, u'\u037A'},
    {XKB_KEY_dead_belowdot, u'.'},        {XKB_KEY_dead_hook, u'\u02C0'},
    {XKB_KEY_dead_horn, u'\u031B'},       {XKB_KEY_dead_stroke, u'/'},
    {XKB_KEY_dead_abovecomma, u'\u02BC'}, {XKB_KEY_dead_abovereversedcomma, u'\u02BD'},
    {XKB_KEY_dead_currency, u'\u00A4'},   {XKB_KEY_dead_greek, u'\u00B5'},
};

bool IsDeadKeysym(xkb_keysym_t sym) {
  return sym >= XKB_KEY_dead_grave && sym <= XKB_KEY_dead_longsolidusoverlay;
}

// The X11 key code of a layout's scan code: the key without the E0 prefix, as the layouts mean it.
int KeyCodeOf(int scanCode) {
  if (scanCode <= 0 || scanCode > 0xFF) return 0;
  return static_cast<int>(X11KeyCodeFromScanCode({static_cast<std::uint16_t>(scanCode), false}));
}

}  // namespace

TKeyCharacters TSystemKeyboard::Characters(int scanCode, const TKeyLookupState& lookup) const {
  const int keyCode = KeyCodeOf(scanCode);
  if (keyCode == 0) return {};
  // A scratch state in the active group with only the asked-for modifiers: the labels must not
  // follow whatever the physical keyboard holds down at the moment.
  xkb_state* scratch = xkb_state_new(keymap_);
  xkb_mod_mask_t mods = 0;
  if (lookup.AltGr) {
    xkb_state_update_key(scratch, kRightAltKeyCode, XKB_KEY_DOWN);
    mods |= xkb_state_serialize_mods(scratch, XKB_STATE_MODS_DEPRESSED);
    xkb_state_update_key(scratch, kRightAltKeyCode, XKB_KEY_UP);
  }
  if (lookup.Shift) {
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_SHIFT);
    if (shift != XKB_MOD_INVALID) mods |= 1u << shift;
  }
  xkb_mod_mask_t locked = 0;
  if (lookup.CapsLock) {
    const xkb_mod_index_t caps = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_CAPS);
    if (caps != XKB_MOD_INVALID) locked |= 1u << caps;
  }
  xkb_state_update_mask(scratch, mods, 0, locked, 0, 0,
                        static_cast<xkb_layout_index_t>(ActiveLayout()));
  TKeyCharacters result;
  const xkb_keysym_t sym = xkb_state_key_get_one_sym(scratch, static_cast<xkb_keycode_t>(keyCode));
  if (IsDeadKeysym(sym)) {
    result.Dead = true;
    for (const auto& d : kDeadKeyCharacters)
      if (d.sym == sym) result.Text = QString(QChar(d.ch));
  } else {
    char buffer[64];
    const int n =
        xkb_state_key_get_utf8(scratch, static_cast<xkb_keycode_t>(keyCode), buffer, sizeof buffer);
    // Control characters (Esc, Tab, Enter, Backspace) are no label.
    if (n > 0 && static_cast<unsigned char>(buffer[0]) >= 0x20 && buffer[0] != 0x7F)
      result.Text = QString::fromUtf8(buffer, n);
  }
  xkb_state_unref(scratch);
  return result;
}

int TSystemKeyboard::VkFromKeyCode(unsigned keyCode) const {
  const TScanCode pc = ScanCodeFromX11KeyCode(keyCode);
  const int scan = pc.code;
  if (pc.extended || scan <= 0 || scan >= static_cast<int>(kUsVkByScanCode.size())) return 0;
  const int usVk = kUsVkByScanCode[static_cast<std::size_t>(scan)];
  if (scan >= 2 && scan <= 11) return usVk;  // the digit row keeps its digits everywhere
  // Letter keys are named after the Latin letter they type (Z and Y trade places on a German
  // keyboard, A and Q on a French one), and so are the comma, period, minus and plus keys.
  const xkb_keysym_t* syms = nullptr;
  const int count = xkb_keymap_key_get_syms_by_level(
      keymap_, keyCode, static_cast<xkb_layout_index_t>(ActiveLayout()), 0, &syms);
  if (count == 1 && usVk != 0x20) {
    const std::uint32_t ch = xkb_keysym_to_utf32(syms[0]);
    if (ch >= 'a' && ch <= 'z') return static_cast<int>(ch - 'a' + 'A');
    if (ch >= 'A' && ch <= 'Z') return static_cast<int>(ch);
    if (scan >= 12 && scan <= 53) {
      if (ch == ',') return 0xBC;
      if (ch == '.') return 0xBE;
      if (ch == '-') return 0xBD;
      if (ch == '+') return 0xBB;
    }
  }
  return usVk;
}

int TSystemKeyboard::VkFromScanCode(int scanCode) const {
  const int keyCode = KeyCodeOf(scanCode);
  return keyCode == 0 ? 0 : VkFromKeyCode(static_cast<unsigned>(keyCode));
}

int TSystemKeyboard::ScanCodeFromVk(int vk) const {
  if (vk <= 0) return 0;
  for (int scan = 1; scan < static_cast<int>(kUsVkByScanCode.size()); ++scan)
    if (VkFromScanCode(scan) == vk) return scan;
  for (const auto& e : kExtraVkScanCodes)
    if (e.vk == vk) return e.scan;
  return 0;
}
