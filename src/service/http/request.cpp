#include "service/http/request.h"

namespace {

constexpr char kCrLf[] = "\r\n";

void AppendHeader(QByteArray& request, const char* name, const QString& value) {
  if (value.isEmpty()) return;
  request += QByteArray(name) + ": " + WireText(value) + kCrLf;
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
