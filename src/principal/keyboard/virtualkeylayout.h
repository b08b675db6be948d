#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// The description of an on-screen keyboard: rows of keys, their sizes, what each key sends and
// how its label changes with the input language and with latched modifier keys. Plain data; the
// byte-stream form is in layoutstream.h, the process-wide list in keyboardlayouts.h.

// Key codes: Vk is a Windows virtual-key code, ScanCode a set-1 make code without the extended
// prefix. -1 means "not given"; the Fn key has ScanCode kFnScanCode and no code of its own.
inline constexpr std::int16_t kNoKeyCode = -1;
inline constexpr std::int16_t kFnScanCode = -2;

// KeyImage: a drawn symbol instead of the caption text.
inline constexpr std::uint8_t kKeyImageTab = 0;
inline constexpr std::uint8_t kKeyImageShift = 1;
inline constexpr std::uint8_t kKeyImageEnter = 2;
inline constexpr std::uint8_t kKeyImageBackspace = 3;
inline constexpr std::uint8_t kKeyImageUp = 4;
inline constexpr std::uint8_t kKeyImageDown = 5;
inline constexpr std::uint8_t kKeyImageLeft = 6;
inline constexpr std::uint8_t kKeyImageRight = 7;
inline constexpr std::uint8_t kKeyImageNarrowEnter = 8;
inline constexpr std::uint8_t kKeyImageCaptionOverride = 254;  // draw the caption override text
inline constexpr std::uint8_t kKeyImageNone = 255;             // draw the caption text

// TVirtualKey::Flags bits.
inline constexpr std::uint8_t kfStretch = 0x01;  // takes a share of the row's free width
inline constexpr std::uint8_t kfToggle = 0x02;   // stays down until pressed again (Caps, Fn)
inline constexpr std::uint8_t kfRepeat = 0x04;   // stored only; the keyboard does not consult it

// Rows of the built-in layouts are this many layout units high unless a layout says otherwise.
inline constexpr std::uint16_t kDefaultRowHeight = 48;

// One key of a combination.
struct TKeyData {
  std::int16_t Vk = kNoKeyCode;
  std::int16_t ScanCode = kNoKeyCode;

  friend bool operator==(const TKeyData&, const TKeyData&) = default;
};

// A per-language variant of a key, or of a modifier alternate. An empty caption and codes of -1
// leave the key's own in force. ComboKeys is used only by key-level variants.
struct TKeyLanguage {
  QString Caption;
  std::int16_t Vk = kNoKeyCode;
  std::int16_t ScanCode = kNoKeyCode;
  std::uint8_t KeyImage = kKeyImageNone;
  std::vector<TKeyData> ComboKeys;
  QString Language;

  friend bool operator==(const TKeyLanguage&, const TKeyLanguage&) = default;
};

// What a key means while the modifier key named ModifierName is latched. A non-empty Language
// limits the alternate to that tag or base language.
struct TKeyModifier {
  QString Caption;
  std::int16_t Vk = kNoKeyCode;
  std::int16_t ScanCode = kNoKeyCode;
  std::uint8_t KeyImage = kKeyImageNone;
  QString ModifierName;
  std::uint16_t FontSize = 14;
  QString Language;
  std::vector<TKeyLanguage> Languages;

  friend bool operator==(const TKeyModifier&, const TKeyModifier&) = default;
};

// One key.
struct TVirtualKey {
  std::int16_t Vk = kNoKeyCode;
  std::int16_t ScanCode = kNoKeyCode;
  QString Caption;  // empty: labelled with what the system keyboard layout types
  std::uint8_t KeyImage = kKeyImageNone;
  std::vector<TKeyData> ComboKeys;  // when not empty, sent instead of Vk/ScanCode
  std::uint16_t FontSize = 14;      // label size in points
  std::uint16_t Width = 48;         // layout units
  std::uint16_t Height = 48;        // layout units; more than the row height spans two rows
  std::uint8_t Flags = 0;           // kfStretch, kfToggle, kfRepeat
  std::uint16_t LeftMargin = 0;     // pixels between the cell and the drawn face (stored as bytes)
  std::uint16_t RightMargin = 0;
  std::vector<TKeyModifier> Modifiers;  // alternates, tried in order
  QString ModifierName;                 // non-empty: this key is the modifier of that name
  std::vector<TKeyLanguage> Languages;  // per-language variants, tried in order
  std::uint16_t GroupIndex = 0;
  QString PublishedName;  // stable name for caption overrides ("Esc", "LeftShift", ...)

  [[nodiscard]] bool HasFlag(std::uint8_t flag) const { return (Flags & flag) != 0; }

  friend bool operator==(const TVirtualKey&, const TVirtualKey&) = default;
};

// One row of keys, left to right.
struct TVirtualKeys {
  std::uint8_t TopMargin = 0;
  std::uint8_t BottomMargin = 0;
  std::vector<TVirtualKey> Keys;

  friend bool operator==(const TVirtualKeys&, const TVirtualKeys&) = default;
};

struct TKeyboardLanguage {
  QString Language;  // tag such as "pt" or "en-GB"
  QString Name;      // display name

  friend bool operator==(const TKeyboardLanguage&, const TKeyboardLanguage&) = default;
};

struct TVirtualKeyLayout {
  QString KeyboardName;
  QString KeyboardType;     // what the keyboard asks for: "Standard" or "NumPad"
  std::uint16_t Width = 0;  // reference size in layout units; the divisor for key widths
  std::uint16_t Height = 0;
  std::uint16_t MinWidth = 0;  // size limits of the keyboard control in pixels, 0 = none
  std::uint16_t MinHeight = 0;
  std::uint16_t MaxWidth = 0;
  std::uint16_t MaxHeight = 0;
  std::uint16_t RowHeight = kDefaultRowHeight;
  std::vector<TKeyboardLanguage> Languages;
  std::vector<TVirtualKeys> Keys;  // rows, top to bottom

  // True when the layout lists exactly this tag (ordinal, case-sensitive).
  [[nodiscard]] bool HasLanguage(const QString& tag) const;

  friend bool operator==(const TVirtualKeyLayout&, const TVirtualKeyLayout&) = default;
};
