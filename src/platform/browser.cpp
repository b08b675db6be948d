#include "platform/browser.h"

#include <QDesktopServices>
#include <QUrl>

bool OpenInBrowser(const QString& address) {
  return QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}
