#include "shell/fonts.h"

#include <QDir>
#include <QFont>
#include <QFontDatabase>

void LoadBundledFonts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  const QDir folder(QString::fromLatin1(kBundledFontFolder));
  for (const char* file : {"tahoma.ttf", "tahomabd.ttf", "marlett.ttf", "ms_sans_serif.ttf"}) {
    const QString path = folder.filePath(QString::fromLatin1(file));
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
  }
  const QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  QFont::insertSubstitution(QStringLiteral("Segoe UI"), sans);
  if (!QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
    QFont::insertSubstitution(QStringLiteral("Tahoma"), sans);
  }
}
