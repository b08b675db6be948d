#include <gtest/gtest.h>

#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/keyresolution.h"

namespace {

using namespace Qt::StringLiterals;

class LayoutsKeyResolution : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadBuiltInKeyboardLayouts(); }

  static const TVirtualKeyLayout& Layout(const QString& tag) {
    const TVirtualKeyLayout* layout = SelectKeyboardLayout(KeyboardLayouts(), u"Standard"_s, tag);
    EXPECT_NE(layout, nullptr);
    return *layout;
  }

  // The n-th key (left to right, top to bottom) that matches.
  template <typename Pred>
  static const TVirtualKey& FindKey(const TVirtualKeyLayout& layout, Pred pred, int n = 0) {
    for (const TVirtualKeys& row : layout.Keys) {
      for (const TVirtualKey& key : row.Keys) {
        if (pred(key) && n-- == 0) return key;
      }
    }
    ADD_FAILURE() << "no such key in " << layout.KeyboardName.toStdString();
    return layout.Keys.front().Keys.front();
  }
  static const TVirtualKey& ByScan(const TVirtualKeyLayout& layout, int scan, int n = 0) {
    return FindKey(
        layout, [&](const TVirtualKey& k) { return k.ScanCode == scan; }, n);
  }
  static const TVirtualKey& ByName(const TVirtualKeyLayout& layout, const QString& name) {
    return FindKey(layout, [&](const TVirtualKey& k) { return k.PublishedName == name; });
  }
};

TEST_F(LayoutsKeyResolution, CapsAndDelCaptionsFollowTheLanguage) {
  const struct {
    const char16_t* tag;
    const char16_t* caps;
    const char16_t* del;
  } cases[] = {
      {u"pt-BR", u"Maiú.", u"Del"},       {u"pt-PT", u"Maiú.", u"Del"},
      {u"pt", u"Maiú.", u"Del"},          {u"de-DE", u"Feststell", u"Entf"},
      {u"fr-FR", u"Verr. maj", u"Suppr"}, {u"es-ES", u"Bloq May", u"Supr"},
      {u"es-MX", u"Bloq May", u"Supr"},   {u"it-IT", u"Bloc Maiusc", u"Canc"},
      {u"en-US", u"Caps", u"Del"},        {u"en-GB", u"Caps", u"Del"},
      {u"ja-JP", u"Caps", u"Del"},        {u"zh-CN", u"Caps", u"Del"},
  };
  for (const auto& c : cases) {
    const QString tag = QString::fromUtf16(c.tag);
    SCOPED_TRACE(tag.toStdString());
    const TVirtualKey& caps = ByName(Layout(tag), u"Caps"_s);
    const TResolvedKey resolved = ResolveKey(caps, tag, {});
    EXPECT_EQ(resolved.Caption, QString::fromUtf16(c.caps));
    EXPECT_EQ(resolved.KeyImage, kKeyImageNone);
    EXPECT_EQ(resolved.ScanCode, 58);  // the variant changes the label only
    // Latching Caps itself changes nothing on its own key.
    EXPECT_EQ(ResolveKey(caps, tag, {u"caps"_s}), resolved);
    EXPECT_EQ(ResolveKey(ByName(Layout(tag), u"Del"_s), tag, {}).Caption,
              QString::fromUtf16(c.del));
  }
  EXPECT_EQ(ResolveKey(ByName(Layout(u"de-DE"_s), u"LeftCtrl"_s), u"de-DE"_s, {}).Caption,
            u"Strg"_s);
  EXPECT_EQ(ResolveKey(ByName(Layout(u"de-DE"_s), u"RightCtrl"_s), u"de-DE"_s, {}).Caption,
            u"Ctrl"_s);
}

TEST_F(LayoutsKeyResolution, FnTurnsTheDigitRowIntoFunctionKeys) {
  for (const QString& tag : {u"en-US"_s, u"pt-BR"_s, u"fr-FR"_s, u"ja-JP"_s}) {
    const TVirtualKeyLayout& layout = Layout(tag);
    for (int scan = 2; scan <= 13; ++scan) {
      SCOPED_TRACE(layout.KeyboardName.toStdString() + " scan " + std::to_string(scan));
      const TVirtualKey& key = ByScan(layout, scan);
      const TResolvedKey fn = ResolveKey(key, tag, {u"fn"_s});
      EXPECT_EQ(fn.Caption, u"F%1"_s.arg(scan - 1));
      EXPECT_EQ(fn.ScanCode, scan + 57);
      EXPECT_EQ(fn.Vk, -1);
      EXPECT_EQ(LabelFontSize(key, {u"fn"_s}), 10);

      const TResolvedKey plain = ResolveKey(key, tag, {u"shift"_s});
      EXPECT_EQ(plain, (TResolvedKey{{}, kKeyImageNone, -1, static_cast<std::int16_t>(scan), {}}));
      EXPECT_EQ(LabelFontSize(key, {}), 14);
    }
  }
  // Fn has no meaning for keys outside the digit row.
  const TVirtualKey& q = ByScan(Layout(u"en-US"_s), 16);
  EXPECT_EQ(ResolveKey(q, u"en-US"_s, {u"fn"_s}).ScanCode, 16);
  EXPECT_EQ(LabelFontSize(q, {u"fn"_s}), 14);
}

TEST_F(LayoutsKeyResolution, CapsAlternatesCountOnlyForTheirLanguage) {
  const struct {
    const char16_t* tag;
    int scan;
    bool caps;
  } cases[] = {
      {u"en-US", 16, true},  {u"en-US", 39, false}, {u"es-MX", 39, true}, {u"lt-LT", 2, true},
      {u"lt-LT", 10, false}, {u"hy-AM", 53, true},  {u"pt-BR", 26, true}, {u"pt-BR", 2, false},
      {u"fr-FR", 13, true},  {u"de-DE", 13, false}, {u"es-ES", 43, true}, {u"es-US", 43, false},
      {u"ja-JP", 40, true},  {u"ja-JP", 51, false},
  };
  for (const auto& c : cases) {
    const QString tag = QString::fromUtf16(c.tag);
    EXPECT_EQ(HasModifierAlternate(ByScan(Layout(tag), c.scan), u"caps"_s, tag), c.caps)
        << c.scan << " for " << tag.toStdString();
  }
}

// Scan codes 26, 39 and 40 also carry an every-language "caps" alternate ahead of these in the
// list; the one made for the language must still give the label.
TEST_F(LayoutsKeyResolution, CzechItalianAndSpanishCapsCaptions) {
  const struct {
    const char16_t* tag;
    int scan;
    const char16_t* caption;
  } cases[] = {
      {u"cs-CZ", 3, u"Ě"},
      {u"cs-CZ", 6, u"Ř"},
      {u"cs-CZ", 11, u"É"},
      {u"cs-CZ", 26, u"Ú"},
      {u"cs-CZ", 39, u"Ů"},
      {u"cs-CZ", 40, u"§"},
      {u"it-IT", 26, u"è"},
      {u"it-IT", 39, u"ò"},
      {u"it-IT", 40, u"à"},
      {u"es-US", 40, u"{"},
      // Other languages get the plain every-language alternate: the system layout labels it.
      {u"pt-BR", 40, u""},
      {u"de-DE", 26, u""},
  };
  for (const auto& c : cases) {
    const QString tag = QString::fromUtf16(c.tag);
    const TVirtualKey& key = ByScan(Layout(tag), c.scan);
    const TResolvedKey resolved = ResolveKey(key, tag, {u"caps"_s});
    EXPECT_EQ(resolved.Caption, QString::fromUtf16(c.caption)) << c.scan << tag.toStdString();
    EXPECT_EQ(resolved.ScanCode, c.scan);
    EXPECT_TRUE(ResolveKey(key, tag, {}).Caption.isEmpty());
  }
}

TEST_F(LayoutsKeyResolution, AltGrSendsCtrlAltExceptWhereItIsAlt) {
  const TResolvedKey altGr{u"AltGr"_s, kKeyImageNone, -1, -1, {{17, 0}, {18, 0}}};
  const TVirtualKey& key = ByName(Layout(u"pt-BR"_s), u"RightAlt"_s);
  EXPECT_EQ(key.ModifierName, u"altgr"_s);
  EXPECT_EQ(ResolveKey(key, u"pt-BR"_s, {}), altGr);
  EXPECT_EQ(LanguageForm(key, u"pt-BR"_s), altGr);
  EXPECT_EQ(ResolveKey(key, u"bg-BG"_s, {}), (TResolvedKey{u"Alt"_s, kKeyImageNone, -1, 56, {}}));
  EXPECT_FALSE(SameKey(altGr, altGr));  // a combination lights up alone
}

TEST_F(LayoutsKeyResolution, RightAltOfStandard101BecomesAltGrForSomeLanguages) {
  const TResolvedKey plainAlt{u"Alt"_s, kKeyImageNone, -1, 56, {}};
  const TResolvedKey altGr{u"AltGr"_s, kKeyImageNone, -1, -1, {{17, 29}, {18, 56}}};
  const struct {
    const char16_t* tag;
    bool altGr;
  } cases[] = {{u"es-MX", true}, {u"sr-RS", true},  {u"ka-GE", true},
               {u"ka", true},    {u"en-US", false}, {u"ru-RU", false}};
  for (const auto& c : cases) {
    const QString tag = QString::fromUtf16(c.tag);
    const TVirtualKeyLayout& layout = Layout(tag);
    ASSERT_EQ(layout.KeyboardName, u"Standard101"_s);
    EXPECT_EQ(ResolveKey(ByName(layout, u"RightAlt"_s), tag, {}), c.altGr ? altGr : plainAlt)
        << tag.toStdString();
    EXPECT_EQ(ResolveKey(ByName(layout, u"LeftAlt"_s), tag, {}), plainAlt);
  }
  // Both Alt keys of a plain layout are one key for lighting up; the AltGr form is not.
  const TVirtualKeyLayout& layout = Layout(u"en-US"_s);
  EXPECT_TRUE(SameKey(LanguageForm(ByName(layout, u"LeftAlt"_s), u"en-US"_s),
                      LanguageForm(ByName(layout, u"RightAlt"_s), u"en-US"_s)));
  EXPECT_FALSE(SameKey(LanguageForm(ByName(layout, u"LeftAlt"_s), u"es-MX"_s),
                       LanguageForm(ByName(layout, u"RightAlt"_s), u"es-MX"_s)));
}

TEST_F(LayoutsKeyResolution, Standard106ShiftCaptions) {
  const TVirtualKeyLayout& layout = Layout(u"ja-JP"_s);
  ASSERT_EQ(layout.KeyboardName, u"Standard106"_s);
  const struct {
    int scan;
    const char16_t* shifted;
  } cases[] = {{125, u"|"}, {115, u"_"}};
  for (const auto& c : cases) {
    const TVirtualKey& key = ByScan(layout, c.scan);
    EXPECT_EQ(ResolveKey(key, u"ja-JP"_s, {}).Caption, u"\\"_s);
    const TResolvedKey shifted = ResolveKey(key, u"ja-JP"_s, {u"shift"_s});
    EXPECT_EQ(shifted.Caption, QString::fromUtf16(c.shifted));
    EXPECT_EQ(shifted.ScanCode, c.scan);
  }
  EXPECT_EQ(FindKey(layout, [](const TVirtualKey& k) { return k.Vk == 21; }).Caption, u"カナ"_s);
}

TEST_F(LayoutsKeyResolution, CaptionOverridesReplaceTheLabelOfPublishedKeys) {
  const TVirtualKeyLayout& layout = Layout(u"pt-BR"_s);
  const TCaptionOverrides overrides{{u"Caps"_s, u"CAPS"_s}, {u"Esc"_s, u"Sair"_s}};
  const TResolvedKey caps = ResolveKey(ByName(layout, u"Caps"_s), u"pt-BR"_s, {}, overrides);
  EXPECT_EQ(caps.Caption, u"CAPS"_s);
  EXPECT_EQ(caps.KeyImage, kKeyImageCaptionOverride);
  EXPECT_EQ(caps.ScanCode, 58);
  EXPECT_EQ(ResolveKey(ByName(layout, u"Backspace"_s), u"pt-BR"_s, {}, overrides).KeyImage,
            kKeyImageBackspace);
  // The Fn key has no published name, so no override reaches it.
  const TVirtualKey& fn = ByScan(layout, kFnScanCode);
  EXPECT_EQ(ResolveKey(fn, u"pt-BR"_s, {}, {{QString(), u"x"_s}}).Caption, u"Fn"_s);
}

// Alternates with their own language variants and codes: the built-in layouts have none, so a
// key made here covers the fall-backs.
TEST_F(LayoutsKeyResolution, AlternateVariantsFallBackToTheKey) {
  TVirtualKey key;
  key.Caption = u"k"_s;
  key.ScanCode = 20;
  key.Languages = {{u"kv"_s, -1, 21, kKeyImageNone, {}, u"xx"_s}};
  key.Modifiers = {
      {u"m1"_s, -1, 30, kKeyImageNone, u"one"_s, 12, u"yy"_s, {}},
      {u"m2"_s,
       65,
       31,
       kKeyImageNone,
       u"one"_s,
       9,
       {},
       {{u""_s, 66, -1, kKeyImageNone, {}, u"xx"_s}}},
      {u"m3"_s, -1, 32, kKeyImageUp, u"two"_s, 8, {}, {}},
  };
  // The "yy" alternate does not count for "xx-ZZ"; the next one's variant keeps the key's
  // (language-varied) caption and scan code and gives its own virtual key.
  EXPECT_EQ(ResolveKey(key, u"xx-ZZ"_s, {u"one"_s}),
            (TResolvedKey{u"kv"_s, kKeyImageNone, 66, 21, {}}));
  EXPECT_EQ(ResolveKey(key, u"yy"_s, {u"one"_s}),
            (TResolvedKey{u"m1"_s, kKeyImageNone, -1, 30, {}}));
  EXPECT_EQ(ResolveKey(key, u"yy"_s, {u"two"_s}), (TResolvedKey{u"m3"_s, kKeyImageUp, -1, 32, {}}));
  // The first latched alternate decides the label; the last decides its size.
  EXPECT_EQ(ResolveKey(key, u"yy"_s, {u"two"_s, u"one"_s}).Caption, u"m1"_s);
  EXPECT_EQ(LabelFontSize(key, {u"two"_s, u"one"_s}), 8);
  EXPECT_EQ(LabelFontSize(key, {u"one"_s}), 9);
  EXPECT_EQ(ResolveKey(key, u"xx"_s, {}), (TResolvedKey{u"kv"_s, kKeyImageNone, -1, 21, {}}));
}

}  // namespace
