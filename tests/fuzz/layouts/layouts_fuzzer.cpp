#include <QByteArrayView>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/keyresolution.h"
#include "principal/keyboard/layoutstream.h"

namespace {

// Touches every key the way the keyboard does when it draws and types.
void ResolveEveryKey(const TVirtualKeyLayout& layout) {
  static const QStringList kTags = {QStringLiteral("pt-BR"), QStringLiteral("cs"), QString()};
  static const QStringList kLatched = {QStringLiteral("caps"), QStringLiteral("fn"),
                                       QStringLiteral("shift")};
  const TCaptionOverrides overrides{{QStringLiteral("Esc"), QStringLiteral("x")}};
  for (const TVirtualKeys& row : layout.Keys) {
    for (const TVirtualKey& key : row.Keys) {
      for (const QString& tag : kTags) {
        (void)ResolveKey(key, tag, kLatched, overrides);
        (void)LanguageForm(key, tag);
        (void)HasModifierAlternate(key, kLatched.front(), tag);
      }
      (void)LabelFontSize(key, kLatched);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArrayView input(data, static_cast<qsizetype>(size));
  TKeyboardLayouts layouts;
  try {
    qsizetype consumed = 0;
    const TVirtualKeyLayout layout = ReadKeyLayout(input, &consumed);
    if (consumed < 1 || consumed > input.size()) std::abort();
    // The format has one encoding per layout: what was read writes back to the same bytes.
    const QByteArray written = WriteKeyLayout(layout);
    if (input[0] == kKeyLayoutVersion && written != input.first(consumed)) std::abort();
    if (ReadKeyLayout(written) != layout) std::abort();

    layouts.LoadFromBytes(input);
    ResolveEveryKey(layouts.Layout(0));
    (void)SelectKeyboardLayout(layouts, layout.KeyboardType, QStringLiteral("pt-BR"));
  } catch (const EKeyLayoutError&) {
    if (layouts.Count() != 0) std::abort();
  }
  return 0;
}
