#include "platform/windowskeyboardlayout.h"

#include <QByteArray>

namespace {

struct LayoutId {
  const char* layout;
  const char* variant;  // "": the layout's own entry, also for variants not listed
  std::uint32_t id;
};

// The layouts people here type with, and the usual European and American ones. Where Windows
// has no exact match the nearest that types the same characters on the same keys is named.
constexpr LayoutId kLayoutIds[] = {
    {"us", "", 0x00000409},      // US
    {"us", "intl", 0x00020409},  // United States-International (dead keys)
    {"us", "alt-intl", 0x00020409}, {"us", "altgr-intl", 0x00020409},
    {"us", "dvorak", 0x00010409},  // United States-Dvorak
    {"br", "", 0x00010416},        // Portuguese (Brazil ABNT2)
    {"pt", "", 0x00000816},        // Portuguese
    {"es", "", 0x0000040A},        // Spanish
    {"latam", "", 0x0000080A},     // Latin American
    {"fr", "", 0x0000040C},        // French
    {"be", "", 0x0000080C},        // Belgian French
    {"ca", "", 0x00001009},        // Canadian French
    {"ca", "multix", 0x00011009},  // Canadian Multilingual Standard
    {"ch", "", 0x00000807},        // Swiss German
    {"ch", "fr", 0x0000100C},      // Swiss French
    {"de", "", 0x00000407},        // German
    {"it", "", 0x00000410},        // Italian
    {"gb", "", 0x00000809},        // United Kingdom
    {"ie", "", 0x00001809},        // Irish
    {"nl", "", 0x00000413},        // Dutch
    {"dk", "", 0x00000406},        // Danish
    {"no", "", 0x00000414},        // Norwegian
    {"se", "", 0x0000041D},        // Swedish
    {"fi", "", 0x0000040B},        // Finnish
    {"pl", "", 0x00000415},        // Polish (Programmers)
    {"cz", "", 0x00000405},        // Czech
    {"sk", "", 0x0000041B},        // Slovak
    {"hu", "", 0x0000040E},        // Hungarian
    {"tr", "", 0x0000041F},        // Turkish Q
    {"gr", "", 0x00000408},        // Greek
    {"ru", "", 0x00000419},        // Russian
    {"ua", "", 0x00000422},        // Ukrainian
    {"jp", "", 0x00000411},        // Japanese
    {"kr", "", 0x00000412},        // Korean
};

}  // namespace

std::uint32_t WindowsKeyboardLayoutId(const TXkbLayoutName& name) {
  const QByteArray layout = name.layout.toUtf8();
  const QByteArray variant = name.variant.toUtf8();
  std::uint32_t layoutOwn = 0;
  for (const LayoutId& entry : kLayoutIds) {
    if (layout != entry.layout) continue;
    if (variant == entry.variant) return entry.id;
    if (*entry.variant == '\0') layoutOwn = entry.id;
  }
  return layoutOwn;
}
