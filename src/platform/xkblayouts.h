#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// xkeyboard-config's registry of layouts: the names, countries and languages of each layout and
// variant, found by the description that an X server and a compiled keymap report as the group
// name ("Portuguese (Brazil)").

// An xkeyboard-config layout by its names, as setxkbmap takes them ("us" and "intl").
struct TXkbLayoutName {
  QString layout;
  QString variant;  // empty: the layout's default
  friend bool operator==(const TXkbLayoutName&, const TXkbLayoutName&) = default;
};

// The language tag ("pt-BR") of an xkeyboard-config layout by its description, the group name an
// X server reports ("Portuguese (Brazil)"), from the registry's XML; empty when it lists none.
[[nodiscard]] QString LayoutLanguageTag(const QByteArray& registry, const QString& description);
// The names of the layout or variant with that description; empty when the registry lists none.
[[nodiscard]] TXkbLayoutName LayoutNameOf(const QByteArray& registry, const QString& description);
// Every description the registry lists, with its tag, from reading all of it.
[[nodiscard]] QHash<QString, QString> LayoutLanguageTags(const QByteArray& registry);

// The tag of a locale name such as "pt_BR.UTF-8" ("pt-BR"); empty when it lacks a country.
[[nodiscard]] QString LanguageTagFromLocaleName(const QString& localeName);

// The same two answers from the registry installed on this machine, each description read once
// and remembered (a person switches among two or three).
[[nodiscard]] TXkbLayoutName InstalledLayoutName(const QString& description);
[[nodiscard]] QString InstalledLayoutLanguageTag(const QString& description);
