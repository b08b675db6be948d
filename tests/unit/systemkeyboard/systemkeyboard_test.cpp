#include "platform/systemkeyboard.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cstdlib>

#include "testapp.h"

#include "core/errors.h"
#include "platform/windowskeyboardlayout.h"

using namespace Qt::StringLiterals;

namespace {

// Counts a keyboard's notices.
struct Notices {
  int language = 0;
  int state = 0;
  explicit Notices(TSystemKeyboard* k) {
    QObject::connect(k, &TSystemKeyboard::InputLanguageChanged, k, [this] { ++language; });
    QObject::connect(k, &TSystemKeyboard::StateChanged, k, [this] { ++state; });
  }
};

// Scan codes of the keys the cases below name.
constexpr int kScanA = 30, kScanQ = 16, kScanY = 21, kScanZ = 44, kScanM = 50, kScan1 = 2;
constexpr int kScanBrAcute = 26;       // right of P on ABNT2: acute, grave with Shift
constexpr int kScanBrTilde = 40;       // right of Ç: tilde, circumflex with Shift
constexpr int kScanCedilla = 39;       // ç on ABNT2
constexpr int kScanDeCircumflex = 41;  // left of 1 on a German keyboard

TKeyCharacters Chars(const TSystemKeyboard& k, int scan, bool shift = false, bool caps = false,
                     bool altGr = false) {
  TKeyLookupState s;
  s.Shift = shift;
  s.CapsLock = caps;
  s.AltGr = altGr;
  return k.Characters(scan, s);
}

TEST(SystemKeyboard, CharactersWithAndWithoutShift) {
  struct Case {
    const char* layout;
    int scan;
    const char16_t* plain;
    const char16_t* shifted;
  } cases[] = {
      {"us", kScanA, u"a", u"A"}, {"us", kScan1, u"1", u"!"}, {"br", kScanCedilla, u"ç", u"Ç"},
      {"de", kScanY, u"z", u"Z"}, {"de", kScanZ, u"y", u"Y"}, {"de", 12, u"ß", u"?"},
      {"jp", kScanA, u"a", u"A"}, {"jp", 0x7D, u"\\", u"|"},  {"us", 57, u" ", u" "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " scan " + std::to_string(c.scan));
    const auto k = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(c.layout));
    const auto plain = Chars(*k, c.scan);
    EXPECT_EQ(plain.Text, QString::fromUtf16(c.plain));
    EXPECT_FALSE(plain.Dead);
    EXPECT_EQ(Chars(*k, c.scan, true).Text, QString::fromUtf16(c.shifted));
  }
}

TEST(SystemKeyboard, ControlKeysHaveNoLabelAndUnknownScanCodesNothing) {
  const auto k = TSystemKeyboard::FromLayoutNames(QStringLiteral("us"));
  for (int scan : {1, 14, 15, 28, 29, 42}) EXPECT_TRUE(Chars(*k, scan).Text.isEmpty()) << scan;
  EXPECT_TRUE(Chars(*k, 0).Text.isEmpty());
  EXPECT_TRUE(Chars(*k, 0x6F).Text.isEmpty());
}

TEST(SystemKeyboard, DeadKeysGiveTheirOwnCharacter) {
  struct Case {
    const char* layout;
    int scan;
    bool shift;
    char16_t own;
  } cases[] = {
      {"br", kScanBrAcute, false, u'\u00B4'},
      {"br", kScanBrAcute, true, u'`'},
      {"br", kScanBrTilde, false, u'~'},
      {"br", kScanBrTilde, true, u'^'},
      {"br", 7, true, u'\u00A8'},
      {"de", kScanDeCircumflex, false, u'^'},
      {"de", 13, false, u'\u00B4'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " scan " + std::to_string(c.scan));
    const auto k = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(c.layout));
    const auto chars = Chars(*k, c.scan, c.shift);
    EXPECT_TRUE(chars.Dead);
    EXPECT_EQ(chars.Text, QString(QChar(c.own)));
    EXPECT_TRUE(k->IsDeadKey(c.scan, TKeyLookupState{c.shift, false, false}));
  }
  // The same positions are plain keys on a US keyboard.
  const auto us = TSystemKeyboard::FromLayoutNames(QStringLiteral("us"));
  EXPECT_FALSE(Chars(*us, kScanBrAcute).Dead);
  EXPECT_EQ(Chars(*us, kScanBrAcute).Text, QStringLiteral("["));
}

TEST(SystemKeyboard, CapsLockAndAltGrInLookups) {
  const auto de = TSystemKeyboard::FromLayoutNames(QStringLiteral("de"));
  EXPECT_EQ(Chars(*de, kScanQ, false, true).Text, QStringLiteral("Q"));
  EXPECT_EQ(Chars(*de, kScanQ, false, false, true).Text, QStringLiteral("@"));
  EXPECT_EQ(Chars(*de, 18, false, false, true).Text, QStringLiteral("€"));
  // Caps Lock leaves the digit row alone.
  EXPECT_EQ(Chars(*de, kScan1, false, true).Text, QStringLiteral("1"));
}

TEST(SystemKeyboard, VirtualKeysAndScanCodesBothWays) {
  struct Case {
    const char* layout;
    int scan;
    int vk;
  } cases[] = {
      {"us", kScanA, 'A'}, {"us", kScanZ, 'Z'}, {"us", kScan1, '1'},  {"us", 1, 0x1B},
      {"us", 14, 0x08},    {"us", 15, 0x09},    {"us", 28, 0x0D},     {"us", 29, 0x11},
      {"us", 42, 0x10},    {"us", 56, 0x12},    {"us", 57, 0x20},     {"us", 58, 0x14},
      {"us", 59, 0x70},    {"us", 88, 0x7B},    {"us", 72, 38},       {"us", 75, 37},
      {"us", 77, 39},      {"us", 80, 40},      {"us", 83, 0x2E},     {"us", 12, 0xBD},
      {"us", 51, 0xBC},    {"de", kScanY, 'Z'}, {"de", kScanZ, 'Y'},  {"br", kScanCedilla, 0xBA},
      {"br", 0x73, 0xC1},  {"jp", 0x79, 0x1C},  {"jp", 0x70, 0x15},   {"fr", kScanQ, 'A'},
      {"fr", kScanA, 'Q'}, {"fr", 39, 'M'},     {"fr", kScanM, 0xBC}, {"ru", kScanQ, 'Q'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " scan " + std::to_string(c.scan));
    const auto k = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(c.layout));
    EXPECT_EQ(k->VkFromScanCode(c.scan), c.vk);
    if (c.scan != 54) {
      EXPECT_EQ(k->ScanCodeFromVk(c.vk), c.scan);
    }
  }
  const auto us = TSystemKeyboard::FromLayoutNames(QStringLiteral("us"));
  EXPECT_EQ(us->VkFromScanCode(54), 0x10);
  EXPECT_EQ(us->ScanCodeFromVk(0x10), 42);
  EXPECT_EQ(us->ScanCodeFromVk(0xA1), 54);  // right Shift
  EXPECT_EQ(us->ScanCodeFromVk(17), 29);    // AltGr's combination: Ctrl, then Alt
  EXPECT_EQ(us->ScanCodeFromVk(18), 56);
  EXPECT_EQ(us->ScanCodeFromVk(0x68), 72);  // keypad 8
  EXPECT_EQ(us->ScanCodeFromVk(0), 0);
  EXPECT_EQ(us->ScanCodeFromVk(0xFF), 0);
  EXPECT_EQ(us->VkFromScanCode(0), 0);
  EXPECT_EQ(us->VkFromScanCode(-2), 0);  // the on-screen Fn key
}

TEST(SystemKeyboard, InputLanguageFromTheActiveLayout) {
  struct Case {
    const char* layouts;
    const char* variants;
    const char* tag;
  } cases[] = {{"br", "", "pt-BR"},          {"us", "", "en-US"}, {"de", "", "de-DE"},
               {"jp", "", "ja-JP"},          {"gb", "", "en-GB"}, {"fr", "", "fr-FR"},
               {"br", "nodeadkeys", "pt-BR"}};
  for (const auto& c : cases) {
    const auto k = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(c.layouts),
                                                    QString::fromLatin1(c.variants));
    EXPECT_EQ(k->InputLanguage(), QString::fromLatin1(c.tag)) << c.layouts;
  }
}

// The language is looked up around the one description instead of reading the whole registry:
// both ways must agree on every layout and variant the installed registry lists.
TEST(SystemKeyboard, LookingUpOneLayoutAgreesWithReadingTheWholeRegistry) {
  QFile file(QStringLiteral("/usr/share/X11/xkb/rules/evdev.xml"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray registry = file.readAll();
  const QHash<QString, QString> all = LayoutLanguageTags(registry);
  ASSERT_GT(all.size(), 100);
  for (auto it = all.constBegin(); it != all.constEnd(); ++it)
    EXPECT_EQ(LayoutLanguageTag(registry, it.key()), it.value()) << it.key().toStdString();
}

TEST(SystemKeyboard, LayoutLookupsInASmallRegistry) {
  // A model whose description is also a layout's, a character reference the text search cannot
  // match, a variant that inherits its layout's language and country, and one that names its own.
  const QByteArray registry = R"(<?xml version="1.0"?>
<xkbConfigRegistry>
  <modelList><model><configItem><name>pc</name><description>German</description></configItem></model></modelList>
  <layoutList>
    <layout>
      <configItem><name>de</name><description>German</description>
        <languageList><iso639Id>ger</iso639Id></languageList></configItem>
      <variantList>
        <variant><configItem><name>nodeadkeys</name><description>German (no dead keys)</description></configItem></variant>
        <variant><configItem><name>dsb</name><description>Lower Sorbian</description>
          <languageList><iso639Id>dsb</iso639Id></languageList></configItem></variant>
      </variantList>
    </layout>
    <layout>
      <configItem><name>xx</name><description>Serbian &#38; Latin</description>
        <countryList><iso3166Id>RS</iso3166Id></countryList>
        <languageList><iso639Id>srp</iso639Id></languageList></configItem>
    </layout>
  </layoutList>
</xkbConfigRegistry>)";
  const struct {
    const char16_t* description;
    const char16_t* tag;
  } cases[] = {
      {u"German", u"de-DE"},
      {u"German (no dead keys)", u"de-DE"},
      {u"Lower Sorbian", u"dsb-DE"},
      {u"Serbian & Latin", u"sr-RS"},
      {u"Klingon", u""},
  };
  for (const auto& c : cases) {
    const QString description = QString::fromUtf16(c.description);
    EXPECT_EQ(LayoutLanguageTag(registry, description), QString::fromUtf16(c.tag))
        << description.toStdString();
  }
  EXPECT_EQ(LayoutLanguageTag(QByteArray("<not xml"), QStringLiteral("German")), QString());

  // The names behind a description: a variant carries its layout's name with its own.
  EXPECT_EQ(LayoutNameOf(registry, QStringLiteral("German")), (TXkbLayoutName{u"de"_s, {}}));
  EXPECT_EQ(LayoutNameOf(registry, QStringLiteral("Lower Sorbian")),
            (TXkbLayoutName{u"de"_s, u"dsb"_s}));
  EXPECT_EQ(LayoutNameOf(registry, QStringLiteral("Klingon")), TXkbLayoutName{});
}

// What the remote desktop is told the person types with, from the keymap's active group.
TEST(SystemKeyboard, ActiveLayoutGivesTheWindowsLayoutId) {
  const struct {
    const char* layouts;
    const char* variants;
    int group;
    const char* layout;
    const char* variant;
    std::uint32_t id;
  } cases[] = {
      {"br", "", 0, "br", "", 0x00010416},
      {"br", "nodeadkeys", 0, "br", "nodeadkeys", 0x00010416},  // variant not listed: the layout's
      {"us", "", 0, "us", "", 0x00000409},
      {"us", "intl", 0, "us", "intl", 0x00020409},
      {"pt", "", 0, "pt", "", 0x00000816},
      {"es", "", 0, "es", "", 0x0000040A},
      {"latam", "", 0, "latam", "", 0x0000080A},
      {"fr", "", 0, "fr", "", 0x0000040C},
      {"de", "", 0, "de", "", 0x00000407},
      {"it", "", 0, "it", "", 0x00000410},
      {"gb", "", 0, "gb", "", 0x00000809},
      {"br,us", "", 1, "us", "", 0x00000409},  // a layout switch before connecting
      {"us,br", "", 1, "br", "", 0x00010416},
      {"mn", "", 0, "mn", "", 0},  // not in the table: FreeRDP's own guess takes over
  };
  for (const auto& c : cases) {
    const auto k = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(c.layouts),
                                                    QString::fromLatin1(c.variants));
    k->SelectLayout(c.group);
    const TXkbLayoutName name = k->ActiveLayoutName();
    EXPECT_EQ(name, (TXkbLayoutName{QString::fromLatin1(c.layout), QString::fromLatin1(c.variant)}))
        << c.layouts << " " << c.group;
    EXPECT_EQ(WindowsKeyboardLayoutId(name), c.id) << c.layouts << " " << c.group;
  }
  EXPECT_EQ(WindowsKeyboardLayoutId({}), 0u);
}

TEST(SystemKeyboard, LocaleNamesGiveTags) {
  EXPECT_EQ(LanguageTagFromLocaleName(QStringLiteral("pt_BR.UTF-8")), QStringLiteral("pt-BR"));
  EXPECT_EQ(LanguageTagFromLocaleName(QStringLiteral("de_AT")), QStringLiteral("de-AT"));
  EXPECT_EQ(LanguageTagFromLocaleName(QStringLiteral("C")), QString());
  EXPECT_EQ(LanguageTagFromLocaleName(QStringLiteral("C.UTF-8")), QString());
}

TEST(SystemKeyboard, SwitchingLayoutsAndCapsLockNotify) {
  const auto k = TSystemKeyboard::FromLayoutNames(QStringLiteral("br,us"));
  Notices n(k.get());
  EXPECT_EQ(k->InputLanguage(), QStringLiteral("pt-BR"));
  EXPECT_TRUE(Chars(*k, kScanBrAcute).Dead);

  k->SelectLayout(1);
  EXPECT_EQ(k->InputLanguage(), QStringLiteral("en-US"));
  EXPECT_EQ(n.language, 1);
  EXPECT_EQ(Chars(*k, kScanBrAcute).Text, QStringLiteral("["));
  k->SelectLayout(1);
  EXPECT_EQ(n.language, 1);  // no change, no notice

  EXPECT_FALSE(k->CapsLockOn());
  k->SetCapsLock(true);
  EXPECT_TRUE(k->CapsLockOn());
  EXPECT_EQ(n.state, 1);
  EXPECT_EQ(k->ActiveLayout(), 1);  // Caps Lock keeps the group

  k->SetLayoutNames(QStringLiteral("de"));
  EXPECT_EQ(k->InputLanguage(), QStringLiteral("de-DE"));
  EXPECT_EQ(n.language, 2);
}

TEST(SystemKeyboard, AnotherLayoutOfTheSameLanguageOrAReloadIsAChange) {
  // Each step keeps the language tag; each changes what the keys type (or may, for a reload).
  const struct {
    const char* name;
    const char* layouts;
    const char* variants;
    int group;  // -1: new names; otherwise a group switch
    const char* tag;
    const char16_t* q;  // what the key at scan code 16 types afterwards
  } steps[] = {
      {"us", "us", "", -1, "en-US", u"q"},
      {"us(dvorak)", "us", "dvorak", -1, "en-US", u"'"},
      {"us(dvorak) again", "us", "dvorak", -1, "en-US", u"'"},
      {"br", "br", "", -1, "pt-BR", u"q"},
      {"br(nativo)", "br", "nativo", -1, "pt-BR", u"/"},
      {"us and us(dvorak)", "us,us", ",dvorak", -1, "en-US", u"q"},
      {"switched to us(dvorak)", "", "", 1, "en-US", u"'"},
      {"back to us", "", "", 0, "en-US", u"q"},
  };
  const auto k = TSystemKeyboard::FromLayoutNames(QStringLiteral("us"));
  k->SetCapsLock(true);
  Notices n(k.get());
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    const int before = n.language;
    if (step.group < 0)
      k->SetLayoutNames(QString::fromLatin1(step.layouts), QString::fromLatin1(step.variants));
    else
      k->SelectLayout(step.group);
    EXPECT_EQ(n.language, before + 1);
    EXPECT_EQ(k->InputLanguage(), QString::fromLatin1(step.tag));
    EXPECT_EQ(Chars(*k, kScanQ).Text, QString::fromUtf16(step.q));
    // Caps Lock stays on through every new keymap, as an X server keeps it.
    EXPECT_TRUE(k->CapsLockOn());
  }
  EXPECT_EQ(n.state, 0);
}

TEST(SystemKeyboard, UnknownLayoutNamesFail) {
  EXPECT_THROW((void)TSystemKeyboard::FromLayoutNames(QStringLiteral("no-such-layout")), Exception);
}

// Run by x11_keyboard.sh with DISPLAY set to a fresh Xvfb, whose keyboard is "us".
TEST(SystemKeyboardX11, FollowsTheServer) {
  if (qEnvironmentVariableIsEmpty("ZENTRA_X11_KEYBOARD_TEST")) GTEST_SKIP() << "needs an X server";
  const auto k = TSystemKeyboard::FromX11();
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->InputLanguage(), QStringLiteral("en-US"));
  EXPECT_EQ(Chars(*k, kScanA).Text, QStringLiteral("a"));
  EXPECT_EQ(k->VkFromScanCode(kScanA), 'A');
  EXPECT_FALSE(k->CapsLockOn());
  Notices n(k.get());
  // Caps Lock pressed on the server's keyboard reaches us as an XKB state event.
  ASSERT_EQ(std::system("xdotool key Caps_Lock"), 0);
  EXPECT_TRUE(testing_support::WaitFor([&] { return n.state > 0; }, 5000));
  EXPECT_TRUE(k->CapsLockOn());
  ASSERT_EQ(std::system("xdotool key Caps_Lock"), 0);
  EXPECT_TRUE(testing_support::WaitFor([&] { return n.state > 1; }, 5000));
  EXPECT_FALSE(k->CapsLockOn());

  // A new keymap on the server (the key of q now types an apostrophe) keeps the language tag and
  // is still a change the keyboard hears of.
  const int before = n.language;
  ASSERT_EQ(std::system("xmodmap -e 'keycode 24 = apostrophe quotedbl'"), 0);
  EXPECT_TRUE(testing_support::WaitFor([&] { return n.language > before; }, 5000));
  EXPECT_EQ(k->InputLanguage(), QStringLiteral("en-US"));
  EXPECT_EQ(Chars(*k, kScanQ).Text, QStringLiteral("'"));

  // Our own switch goes to the server: another client that connects afterwards reads the new
  // state from the server itself (no event of ours to wait for on a busy machine).
  const auto serverCapsLock = [] {
    const auto other = TSystemKeyboard::FromX11();
    return other != nullptr && other->CapsLockOn();
  };
  k->SetCapsLock(true);
  EXPECT_TRUE(k->CapsLockOn());
  EXPECT_TRUE(testing_support::WaitFor(serverCapsLock, 10000));
  k->SetCapsLock(false);
  EXPECT_TRUE(testing_support::WaitFor([&] { return !serverCapsLock(); }, 10000));
  EXPECT_FALSE(k->CapsLockOn());

  // The desktop's layout switched to Brazilian: the layout announced to a server follows.
  ASSERT_EQ(std::system("setxkbmap br"), 0);
  EXPECT_TRUE(testing_support::WaitFor(
      [&] {
        return k->ActiveLayoutName() == TXkbLayoutName{u"br"_s, {}};
      },
      5000));
  EXPECT_EQ(WindowsKeyboardLayoutId(k->ActiveLayoutName()), 0x00010416u);
}

}  // namespace
