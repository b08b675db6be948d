#include "shell/fonts.h"

#include <QDir>
#include <QFont>
#include <QFontDatabase>

namespace {

std::function<void()>& FontConfigurationWait() {
  static std::function<void()> wait;
  return wait;
}

}  // namespace

void SetFontConfigurationWait(std::function<void()> wait) {
  FontConfigurationWait() = std::move(wait);
}

void LoadBundledFonts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  if (FontConfigurationWait()) FontConfigurationWait()();
  const QDir folder(QString::fromLatin1(kBundledFontFolder));
  bool bundledTahoma = false;
  for (const char* file : {"tahoma.ttf", "tahomabd.ttf", "marlett.ttf", "ms_sans_serif.ttf"}) {
    const QString path = folder.filePath(QString::fromLatin1(file));
    if (!QFile::exists(path)) continue;
    const int id = QFontDatabase::addApplicationFont(path);
    if (id >= 0 && QFontDatabase::applicationFontFamilies(id).contains(QStringLiteral("Tahoma")))
      bundledTahoma = true;
  }
  const QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  QFont::insertSubstitution(QStringLiteral("Segoe UI"), sans);
  // Listing every family reads the whole font database, which start-up otherwise never needs:
  // only when the bundled face is missing is the system asked for one.
  if (!bundledTahoma && !QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
    QFont::insertSubstitution(QStringLiteral("Tahoma"), sans);
  }
}
