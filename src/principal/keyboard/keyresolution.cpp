#include "principal/keyboard/keyresolution.h"

#include "principal/keyboard/keyboardlayouts.h"

namespace {

// The first variant for the full tag, else the first for the base language.
const TKeyLanguage* FindVariant(const std::vector<TKeyLanguage>& variants, const QString& language,
                                const QString& base) {
  for (const TKeyLanguage& variant : variants) {
    if (variant.Language == language) return &variant;
  }
  for (const TKeyLanguage& variant : variants) {
    if (variant.Language == base) return &variant;
  }
  return nullptr;
}

bool IsLatched(const QString& modifierName, const QStringList& latchedModifiers) {
  return !modifierName.isEmpty() && latchedModifiers.contains(modifierName);
}

bool CountsFor(const TKeyModifier& alternate, const QString& language, const QString& base) {
  return alternate.Language.isEmpty() || alternate.Language == language ||
         alternate.Language == base;
}

// The alternate in force: the first latched one made for this language, else the first latched
// one for every language. Every-language alternates come first in a key's list, so taking the
// first of the list would hide the captions made for one language (the Czech "Ú" on the key
// beside P, which every language also shifts with Caps Lock) and label the key with a character
// that it does not type.
const TKeyModifier* FindAlternate(const TVirtualKey& key, const QString& language,
                                  const QString& base, const QStringList& latchedModifiers) {
  for (const bool ownLanguage : {true, false}) {
    for (const TKeyModifier& alternate : key.Modifiers) {
      if (alternate.Language.isEmpty() == ownLanguage) continue;
      if (!CountsFor(alternate, language, base)) continue;
      if (IsLatched(alternate.ModifierName, latchedModifiers)) return &alternate;
    }
  }
  return nullptr;
}

bool GivesCode(const TKeyLanguage& variant) {
  return variant.Vk != kNoKeyCode || variant.ScanCode != kNoKeyCode;
}

}  // namespace

QString BaseLanguage(const QString& tag) {
  return tag.section(u'-', 0, 0);
}

const TVirtualKeyLayout* SelectKeyboardLayout(const TKeyboardLayouts& layouts, const QString& type,
                                              const QString& language) {
  if (const TVirtualKeyLayout* layout = layouts.Find(type, language)) return layout;
  if (const TVirtualKeyLayout* layout = layouts.Find(type, BaseLanguage(language))) return layout;
  return layouts.Find(type);
}

TResolvedKey LanguageForm(const TVirtualKey& key, const QString& language) {
  TResolvedKey result{key.Caption, key.KeyImage, key.Vk, key.ScanCode, key.ComboKeys};
  const TKeyLanguage* variant = FindVariant(key.Languages, language, BaseLanguage(language));
  if (!variant) return result;
  if (!variant->Caption.isEmpty()) result.Caption = variant->Caption;
  result.KeyImage = variant->KeyImage;
  if (!variant->ComboKeys.empty()) {
    result.ComboKeys = variant->ComboKeys;
    result.Vk = kNoKeyCode;
    result.ScanCode = kNoKeyCode;
  } else if (GivesCode(*variant)) {
    // A variant that names its own code replaces the key's combination too: the "Alt" that
    // stands in for AltGr must send Alt alone, not Ctrl+Alt.
    result.ComboKeys.clear();
    if (variant->Vk != kNoKeyCode) result.Vk = variant->Vk;
    if (variant->ScanCode != kNoKeyCode) result.ScanCode = variant->ScanCode;
  }
  return result;
}

TResolvedKey ResolveKey(const TVirtualKey& key, const QString& language,
                        const QStringList& latchedModifiers, const TCaptionOverrides& overrides) {
  const QString base = BaseLanguage(language);
  TResolvedKey result = LanguageForm(key, language);
  if (const TKeyModifier* alternate = FindAlternate(key, language, base, latchedModifiers)) {
    if (const TKeyLanguage* variant = FindVariant(alternate->Languages, language, base)) {
      if (!variant->Caption.isEmpty()) result.Caption = variant->Caption;
      result.KeyImage = variant->KeyImage;
      if (GivesCode(*variant)) {
        result.ComboKeys.clear();
        if (variant->Vk != kNoKeyCode) result.Vk = variant->Vk;
        if (variant->ScanCode != kNoKeyCode) result.ScanCode = variant->ScanCode;
      }
    } else {
      result = TResolvedKey{
          alternate->Caption, alternate->KeyImage, alternate->Vk, alternate->ScanCode, {}};
    }
  }
  if (!key.PublishedName.isEmpty()) {
    const auto override = overrides.constFind(key.PublishedName);
    if (override != overrides.constEnd()) {
      result.Caption = *override;
      result.KeyImage = kKeyImageCaptionOverride;
    }
  }
  return result;
}

std::uint16_t LabelFontSize(const TVirtualKey& key, const QStringList& latchedModifiers) {
  for (auto it = key.Modifiers.rbegin(); it != key.Modifiers.rend(); ++it) {
    if (IsLatched(it->ModifierName, latchedModifiers)) return it->FontSize;
  }
  return key.FontSize;
}

bool HasModifierAlternate(const TVirtualKey& key, const QString& modifierName,
                          const QString& language) {
  const QString base = BaseLanguage(language);
  for (const TKeyModifier& alternate : key.Modifiers) {
    if (alternate.ModifierName == modifierName && CountsFor(alternate, language, base)) return true;
  }
  return false;
}

bool SameKey(const TResolvedKey& a, const TResolvedKey& b) {
  return a.ComboKeys.empty() && b.ComboKeys.empty() && a.Vk == b.Vk && a.ScanCode == b.ScanCode;
}
