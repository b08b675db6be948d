#pragma once

#include <QByteArray>
#include <QString>

#include "service/http/url.h"

// The longest header line sent unfolded.
inline constexpr int kMaxRequestHeaderLine = 1024;

// The header values of one GET, in the order they are sent; empty ones are left out.
struct TRequestHeaders {
  QString accept;
  QString acceptEncoding;
  QString userAgent;
  QString cookie;
};

// The whole request text, ready for one write: request line, header lines, empty line.
[[nodiscard]] QByteArray BuildRequest(const TUrl& url, const TRequestHeaders& headers);

// Text as it goes on the wire: 7-bit ASCII, any other character as "?".
[[nodiscard]] QByteArray WireText(const QString& text);

// A header line broken into pieces of at most 1024 characters where it can be: after the last
// blank, tab or comma outside double quotes; continuations start with one blank.
[[nodiscard]] QList<QByteArray> FoldHeaderLine(const QByteArray& line);
