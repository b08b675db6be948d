#include "service/http/request.h"

#include <QList>

namespace {

constexpr char kCrLf[] = "\r\n";

QByteArray TrimTrailingBlanks(QByteArray piece) {
  while (!piece.isEmpty() && (piece.back() == ' ' || piece.back() == '\t')) piece.chop(1);
  return piece;
}

void AppendHeader(QByteArray& request, const char* name, const QString& value) {
  if (value.isEmpty()) return;
  const QByteArray line = QByteArray(name) + ": " + WireText(value);
  for (const QByteArray& piece : FoldHeaderLine(line)) request += piece + kCrLf;
}

}  // namespace

QByteArray WireText(const QString& text) {
  QByteArray bytes;
  bytes.reserve(text.size());
  for (auto it = text.cbegin(); it != text.cend(); ++it) {
    const char16_t unit = it->unicode();
    if (QChar::isHighSurrogate(unit) && it + 1 != text.cend() && (it + 1)->isLowSurrogate()) {
      ++it;  // one character, one "?"
      bytes += '?';
    } else if (unit < 0x20 || unit >= 0x7F) {
      // Beyond ASCII is "?"; so are control characters, so that a CR or LF in a user key can
      // never end the request line early and smuggle in header lines of its own.
      bytes += '?';
    } else {
      bytes += static_cast<char>(unit);
    }
  }
  return bytes;
}

QList<QByteArray> FoldHeaderLine(const QByteArray& line) {
  QList<QByteArray> pieces;
  QByteArray rest = line;
  while (rest.size() > kMaxRequestHeaderLine) {
    qsizetype breakAt = -1;
    bool quoted = false;
    // A continuation starts with its blank, which is no place to break (no progress).
    const qsizetype first = pieces.isEmpty() ? 0 : 1;
    for (qsizetype i = 0; i < kMaxRequestHeaderLine; ++i) {
      const char c = rest.at(i);
      if (c == '"') quoted = !quoted;
      if (!quoted && i >= first && (c == ' ' || c == '\t' || c == ',')) breakAt = i;
    }
    if (breakAt < 0) break;
    const QByteArray piece = TrimTrailingBlanks(rest.left(breakAt + 1));
    QByteArray tail = rest.mid(breakAt + 1);
    qsizetype lead = 0;
    while (lead < tail.size() && (tail.at(lead) == ' ' || tail.at(lead) == '\t')) ++lead;
    tail.remove(0, lead);
    if (tail.isEmpty()) {
      rest = piece;
      break;
    }
    pieces.append(piece);
    rest = ' ' + tail;
  }
  pieces.append(TrimTrailingBlanks(rest));
  return pieces;
}

QByteArray BuildRequest(const TUrl& url, const TRequestHeaders& headers) {
  QByteArray request = "GET " + WireText(url.RequestTarget()) + " HTTP/1.1" + kCrLf;
  AppendHeader(request, "Host", url.HostHeader());
  AppendHeader(request, "Accept", headers.accept);
  AppendHeader(request, "Accept-Encoding", headers.acceptEncoding);
  AppendHeader(request, "User-Agent", headers.userAgent);
  AppendHeader(request, "Cookie", headers.cookie);
  request += kCrLf;
  return request;
}
