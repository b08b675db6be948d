#include <gtest/gtest.h>

#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/keyresolution.h"
#include "principal/keyboard/layoutstream.h"

namespace {

using namespace Qt::StringLiterals;

TEST(LayoutsSelection, BuiltInLayoutsLoadOnceInBlockNameOrder) {
  // As the program starts: the blocks are read on a thread of their own, then appended.
  StartReadingBuiltInKeyboardLayouts();
  LoadBuiltInKeyboardLayouts();
  LoadBuiltInKeyboardLayouts();  // start-up may run again in one process: nothing is added
  const TKeyboardLayouts& layouts = KeyboardLayouts();
  QStringList names;
  for (int i = 0; i < layouts.Count(); ++i) names.append(layouts.Layout(i).KeyboardName);
  EXPECT_EQ(names, QStringList({"NumPad", "Standard101", "Standard102", "Standard106"}));
}

TEST(LayoutsSelection, StandardLayoutForEachLanguage) {
  LoadBuiltInKeyboardLayouts();
  const struct {
    const char16_t* tag;
    const char16_t* layout;
  } cases[] = {
      {u"pt-BR", u"Standard102"},
      {u"pt-PT", u"Standard102"},
      {u"pt", u"Standard102"},
      {u"en-US", u"Standard101"},
      {u"en-GB", u"Standard102"},
      {u"es-ES", u"Standard102"},
      {u"es-MX", u"Standard101"},
      {u"es-US", u"Standard102"},
      {u"ja-JP", u"Standard106"},
      {u"zh-CN", u"Standard101"},
      {u"", u"Standard101"},
      // The full tag wins over the base language.
      {u"nl-BE", u"Standard101"},
      {u"nl-NL", u"Standard102"},
      {u"sr-CS", u"Standard102"},
      {u"sr-RS", u"Standard101"},
      // Exact and case-sensitive.
      {u"PT-br", u"Standard101"},
      {u"de_DE", u"Standard101"},
  };
  for (const auto& c : cases) {
    const QString tag = QString::fromUtf16(c.tag);
    const TVirtualKeyLayout* layout = SelectKeyboardLayout(KeyboardLayouts(), u"Standard"_s, tag);
    ASSERT_NE(layout, nullptr) << tag.toStdString();
    EXPECT_EQ(layout->KeyboardName, QString::fromUtf16(c.layout)) << tag.toStdString();
  }
  EXPECT_EQ(SelectKeyboardLayout(KeyboardLayouts(), u"NumPad"_s, u"pt-BR"_s)->KeyboardName,
            u"NumPad"_s);
  EXPECT_EQ(SelectKeyboardLayout(KeyboardLayouts(), u"standard"_s, u"pt-BR"_s), nullptr);
  EXPECT_EQ(SelectKeyboardLayout(TKeyboardLayouts(), u"Standard"_s, u"pt-BR"_s), nullptr);
}

TEST(LayoutsSelection, LaterLayoutWinsForALanguageFirstWinsForAType) {
  TKeyboardLayouts layouts;
  const auto add = [&](const char16_t* name, const char16_t* tag) {
    TVirtualKeyLayout layout;
    layout.KeyboardName = QString::fromUtf16(name);
    layout.KeyboardType = u"Standard"_s;
    layout.Languages = {{QString::fromUtf16(tag), {}}};
    layouts.LoadFromBytes(WriteKeyLayout(layout));
  };
  add(u"first", u"pt");
  add(u"second", u"pt");
  add(u"third", u"de");
  EXPECT_EQ(layouts.Find(u"Standard"_s, u"pt"_s)->KeyboardName, u"second"_s);
  EXPECT_EQ(layouts.Find(u"Standard"_s)->KeyboardName, u"first"_s);
  EXPECT_EQ(layouts.Find(u"Standard"_s, u"fr"_s), nullptr);
  EXPECT_EQ(SelectKeyboardLayout(layouts, u"Standard"_s, u"fr-FR"_s)->KeyboardName, u"first"_s);
}

TEST(LayoutsSelection, BaseLanguageIsThePartBeforeTheFirstHyphen) {
  EXPECT_EQ(BaseLanguage(u"pt-BR"_s), u"pt"_s);
  EXPECT_EQ(BaseLanguage(u"sr-Latn-RS"_s), u"sr"_s);
  EXPECT_EQ(BaseLanguage(u"pt"_s), u"pt"_s);
  EXPECT_EQ(BaseLanguage(QString()), QString());
}

}  // namespace
