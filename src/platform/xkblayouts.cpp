#include "platform/xkblayouts.h"

#include <QFile>
#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QXmlStreamReader>
#include <optional>

namespace {

// xkeyboard-config's list of layouts with the countries and languages each one is for.
constexpr char kXkbRulesRegistry[] = "/usr/share/X11/xkb/rules/evdev.xml";

// Countries and languages of one layout (or variant) of xkeyboard-config, by its description,
// which is also the group name an X server and a compiled keymap report.
struct LayoutInfo {
  QString country;   // ISO 3166 alpha-2
  QString language;  // ISO 639-2 or -3, the first the registry lists
  QString layout;    // xkeyboard-config's name of the layout ("br")
  QString variant;   // and of the variant ("nodeadkeys"); empty for the layout itself
};

// The configuration items the reader meets, by description, with what a variant inherits from
// its layout; the first item of a description wins.
QHash<QString, LayoutInfo> ReadLayoutItems(QXmlStreamReader& xml) {
  QHash<QString, LayoutInfo> result;
  LayoutInfo layout;  // what a variant inherits from its layout
  bool inVariant = false;
  QString name, description;
  LayoutInfo item;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      const auto tag = xml.name();
      if (tag == u"modelList" || tag == u"optionList") {
        xml.skipCurrentElement();  // keyboards and options: their descriptions are not layouts
      } else if (tag == u"layout") {
        layout = {};
        inVariant = false;
      } else if (tag == u"variant") {
        inVariant = true;
      } else if (tag == u"configItem") {
        name.clear();
        description.clear();
        item = {};
      } else if (tag == u"name") {
        name = xml.readElementText();
      } else if (tag == u"description") {
        description = xml.readElementText();
      } else if (tag == u"iso3166Id") {
        const QString v = xml.readElementText();
        if (item.country.isEmpty()) item.country = v;
      } else if (tag == u"iso639Id") {
        const QString v = xml.readElementText();
        if (item.language.isEmpty()) item.language = v;
      }
    } else if (xml.isEndElement() && xml.name() == u"configItem") {
      if (!inVariant) {
        // A layout named after a country is for that country even where the list says nothing.
        if (item.country.isEmpty() && name.size() == 2) item.country = name.toUpper();
        item.layout = name;
        layout = item;
      } else {
        item.layout = layout.layout;
        item.variant = name;
        if (item.country.isEmpty()) item.country = layout.country;
        if (item.language.isEmpty()) item.language = layout.language;
      }
      if (!description.isEmpty() && !result.contains(description)) result.insert(description, item);
    } else if (xml.isEndElement() && xml.name() == u"variant") {
      inVariant = false;
    }
  }
  return result;
}

QHash<QString, LayoutInfo> ReadLayoutRegistry(const QByteArray& registry) {
  QXmlStreamReader xml(registry);
  return ReadLayoutItems(xml);
}

// One layout's item without reading the whole registry (a quarter of a megabyte of XML, read at
// start-up when the on-screen keyboard picks its language): the description is found as text and
// only the layout around it, variants included, is read. Whatever the text search cannot place
// (a description written with character references, say) falls back to the whole registry.
std::optional<LayoutInfo> FindLayout(const QByteArray& registry, const QString& description) {
  const qsizetype list = registry.indexOf("<layoutList>");
  const QByteArray needle =
      "<description>" + description.toHtmlEscaped().toUtf8() + "</description>";
  const qsizetype at = list < 0 ? -1 : registry.indexOf(needle, list);
  if (at >= 0) {
    const QByteArray open = "<layout>";
    const QByteArray close = "</layout>";
    const qsizetype begin = registry.lastIndexOf(open, at);
    const qsizetype end = registry.indexOf(close, at);
    if (begin > list && end > at) {
      QXmlStreamReader xml(registry.sliced(begin, end + close.size() - begin));
      const auto items = ReadLayoutItems(xml);
      if (!xml.hasError()) {
        const auto it = items.constFind(description);
        if (it != items.constEnd()) return *it;
      }
    }
  }
  const auto all = ReadLayoutRegistry(registry);
  const auto it = all.constFind(description);
  if (it == all.constEnd()) return std::nullopt;
  return *it;
}

const QByteArray& RegistryBytes() {
  static const QByteArray bytes = [] {
    QFile file(QString::fromLatin1(kXkbRulesRegistry));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }();
  return bytes;
}

// The layouts looked up so far, by description: a person switches among two or three.
std::optional<LayoutInfo> LookUpLayout(const QString& description) {
  static QMutex mutex;
  static QHash<QString, std::optional<LayoutInfo>> known;
  const QMutexLocker lock(&mutex);
  const auto it = known.constFind(description);
  if (it != known.constEnd()) return *it;
  return *known.insert(description, FindLayout(RegistryBytes(), description));
}

QString TagFrom(const QString& languageCode, const QString& countryCode) {
  if (languageCode.isEmpty()) return {};
  const QLocale::Language language =
      QLocale::codeToLanguage(languageCode, QLocale::AnyLanguageCode);
  if (language == QLocale::AnyLanguage || language == QLocale::C) return {};
  QString iso639 = QLocale::languageToCode(language, QLocale::ISO639Part1);
  if (iso639.isEmpty()) iso639 = QLocale::languageToCode(language);
  QLocale::Territory territory = QLocale::codeToTerritory(countryCode);
  if (territory == QLocale::AnyTerritory) territory = QLocale(language).territory();
  const QString iso3166 = QLocale::territoryToCode(territory);
  if (iso639.isEmpty() || iso3166.isEmpty()) return {};
  return iso639 + u'-' + iso3166;
}

}  // namespace

QString LayoutLanguageTag(const QByteArray& registry, const QString& description) {
  const auto layout = FindLayout(registry, description);
  return layout ? TagFrom(layout->language, layout->country) : QString();
}

TXkbLayoutName LayoutNameOf(const QByteArray& registry, const QString& description) {
  const auto layout = FindLayout(registry, description);
  return layout ? TXkbLayoutName{layout->layout, layout->variant} : TXkbLayoutName{};
}

QHash<QString, QString> LayoutLanguageTags(const QByteArray& registry) {
  QHash<QString, QString> tags;
  const auto all = ReadLayoutRegistry(registry);
  for (auto it = all.constBegin(); it != all.constEnd(); ++it)
    tags.insert(it.key(), TagFrom(it->language, it->country));
  return tags;
}

QString LanguageTagFromLocaleName(const QString& localeName) {
  const QLocale locale(localeName.section(u'.', 0, 0).section(u'@', 0, 0));
  if (locale.language() == QLocale::C) return {};
  const QString name = locale.name();  // "pt_BR"
  if (!name.contains(u'_')) return {};
  return TagFrom(QLocale::languageToCode(locale.language()),
                 QLocale::territoryToCode(locale.territory()));
}

TXkbLayoutName InstalledLayoutName(const QString& description) {
  if (const auto layout = LookUpLayout(description)) return {layout->layout, layout->variant};
  return {};
}

QString InstalledLayoutLanguageTag(const QString& description) {
  const auto layout = LookUpLayout(description);
  return layout ? TagFrom(layout->language, layout->country) : QString();
}
