#pragma once

#include <QByteArray>
#include <QString>

#include "service/http/url.h"

// The header values of one GET, in the order they are sent; empty ones are left out.
struct TRequestHeaders {
  QString accept;
  QString acceptEncoding;
  QString userAgent;
  QString cookie;
};

// The whole request text, ready for one write: request line, header lines, empty line. Each
// header goes on one line however long it is: servers refuse folded lines, and a long Cookie
// line folded would break every later request of the component.
[[nodiscard]] QByteArray BuildRequest(const TUrl& url, const TRequestHeaders& headers);

// Text as it goes on the wire: 7-bit ASCII, any other character as "?".
[[nodiscard]] QByteArray WireText(const QString& text);
