#include "service/http/url.h"

namespace {
constexpr char kSchemeSeparator[] = "://";
constexpr quint16 kDefaultPort = 80;
}  // namespace

TUrl ParseUrl(const QString& address) {
  TUrl url;
  QString text = address;

  // Backslashes typed into an address mean slashes, up to the query or fragment.
  const qsizetype separator = text.indexOf(QLatin1String(kSchemeSeparator));
  const qsizetype from = separator < 0 ? 0 : separator + 3;
  for (qsizetype i = from; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c == u'?' || c == u'#') break;
    if (c == u'\\') text[i] = u'/';
  }

  QString rest = text;
  if (separator >= 0) {
    url.scheme = text.left(separator);
    rest = text.mid(separator + 3);
  }

  const qsizetype question = rest.indexOf(u'?');
  if (question >= 0) {
    url.query = rest.mid(question + 1);
    rest.truncate(question);
  }

  QString authority;
  const qsizetype slash = rest.indexOf(u'/');
  if (slash >= 0) {
    authority = rest.left(slash);
    rest = rest.mid(slash + 1);
  } else {
    authority = rest;
    rest.clear();
  }
  const qsizetype at = authority.lastIndexOf(u'@');
  if (at >= 0) {
    url.userInfo = authority.left(at);
    authority = authority.mid(at + 1);
  }
  const qsizetype colon = authority.indexOf(u':');
  url.host = colon >= 0 ? authority.left(colon) : authority;
  url.port = colon >= 0 ? authority.mid(colon + 1) : QString();

  const qsizetype lastSlash = rest.lastIndexOf(u'/');
  url.path = QStringLiteral("/") + rest.left(lastSlash + 1);
  url.document = rest.mid(lastSlash + 1);
  const qsizetype hash = url.document.indexOf(u'#');
  if (hash >= 0) url.document.truncate(hash);

  if (url.port.isEmpty()) {
    if (url.scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0) {
      url.port = QStringLiteral("80");
    } else if (url.scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0) {
      url.port = QStringLiteral("443");
    }
  }
  return url;
}

QString TUrl::RequestTarget() const {
  QString target = path + document;
  if (!query.isEmpty()) target += u'?' + query;
  return target;
}

QString TUrl::HostHeader() const {
  const bool http = scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0;
  const bool https = scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
  if ((http && port == QLatin1String("80")) || (https && port == QLatin1String("443"))) return host;
  return host + u':' + port;
}

quint16 TUrl::PortNumber() const {
  bool ok = false;
  const int number = port.toInt(&ok);
  // A number no TCP port can have counts as no number.
  if (!ok || number < 0 || number > 65535) return kDefaultPort;
  return static_cast<quint16>(number);
}
