#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "principal/keyboard/virtualkeylayout.h"

class TKeyboardLayouts;

// What a key of a layout shows and sends for a language and a set of latched modifier keys.

// Label texts that replace a key's own, by the key's PublishedName ("Esc", "LeftShift", ...).
using TCaptionOverrides = QHash<QString, QString>;

// A key as it is drawn and sent. With ComboKeys not empty the combination is sent in list order
// instead of Vk/ScanCode; -1 in Vk or ScanCode means the code is left for the system keyboard
// layout to complete. An empty Caption with KeyImage kKeyImageNone is labelled with what the
// system keyboard layout types for the codes.
struct TResolvedKey {
  QString Caption;
  std::uint8_t KeyImage = kKeyImageNone;
  std::int16_t Vk = kNoKeyCode;
  std::int16_t ScanCode = kNoKeyCode;
  std::vector<TKeyData> ComboKeys;

  friend bool operator==(const TResolvedKey&, const TResolvedKey&) = default;
};

// The base language of a tag: the part before the first hyphen ("pt" for "pt-BR"); a tag
// without a hyphen is its own base.
[[nodiscard]] QString BaseLanguage(const QString& tag);

// The layout the keyboard uses for a type ("Standard") and a language tag ("pt-BR"): the last
// layout of the type listing the full tag, else the base language, else the first layout of the
// type. nullptr when the list holds no layout of that type.
[[nodiscard]] const TVirtualKeyLayout* SelectKeyboardLayout(const TKeyboardLayouts& layouts,
                                                            const QString& type,
                                                            const QString& language);

// The key with only its language variant applied (no modifiers, no overrides): what the key-down
// and key-up of a modifier or toggle key send, and what two keys are compared by.
[[nodiscard]] TResolvedKey LanguageForm(const TVirtualKey& key, const QString& language);

// The key as typed and labelled: its language variant, then the alternate of a latched modifier
// (latchedModifiers: the ModifierName of every latched key; one made for the language wins over
// one for every language, else list order decides), then any caption override for its
// PublishedName (shown with KeyImage kKeyImageCaptionOverride).
[[nodiscard]] TResolvedKey ResolveKey(const TVirtualKey& key, const QString& language,
                                      const QStringList& latchedModifiers,
                                      const TCaptionOverrides& overrides = {});

// The label size in points: the FontSize of the last alternate whose modifier is latched (its
// language plays no part), else the key's own FontSize.
[[nodiscard]] std::uint16_t LabelFontSize(const TVirtualKey& key,
                                          const QStringList& latchedModifiers);

// True when the key has an alternate for that modifier name that counts for the language (its
// Language empty, the tag or the base language). Tells whether Caps Lock shifts a key's label.
[[nodiscard]] bool HasModifierAlternate(const TVirtualKey& key, const QString& modifierName,
                                        const QString& language);

// True when two keys are the same key for lighting up together: neither sends a combination and
// both have equal virtual-key and scan codes (-1 counting as a value).
[[nodiscard]] bool SameKey(const TResolvedKey& a, const TResolvedKey& b);
