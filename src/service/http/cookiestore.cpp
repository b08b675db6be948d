#include "service/http/cookiestore.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include <QStringList>
#include <algorithm>
#include <limits>

namespace {

bool IsDateDelimiter(QChar c) {
  const char16_t u = c.unicode();
  return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) ||
         (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E);
}

// Leading digits of `token`, at least `min` and at most `max` of them; -1 otherwise.
int LeadingNumber(const QString& token, int min, int max, qsizetype* used = nullptr) {
  qsizetype n = 0;
  while (n < token.size() && token.at(n).isDigit() && token.at(n).unicode() < 0x80) ++n;
  if (n < min || n > max) return -1;
  if (used != nullptr) *used = n;
  return token.left(n).toInt();
}

QString DefaultPath(const TUrl& url) {
  // The directory of the request: the path without its last "/" (or "/" itself).
  if (url.path.size() <= 1) return QStringLiteral("/");
  return url.path.left(url.path.size() - 1);
}

QString RequestPath(const TUrl& url) {
  return url.path + url.document;
}

bool DomainMatches(const QString& host, const TCookie& cookie) {
  const QString lower = host.toLower();
  if (lower == cookie.domain) return true;
  if (cookie.hostOnly) return false;
  // An address has no parent domains.
  in_addr address{};
  if (inet_pton(AF_INET, lower.toLatin1().constData(), &address) == 1) return false;
  return lower.endsWith(u'.' + cookie.domain);
}

bool PathMatches(const QString& requestPath, const QString& cookiePath) {
  if (requestPath == cookiePath) return true;
  if (!requestPath.startsWith(cookiePath)) return false;
  return cookiePath.endsWith(u'/') || requestPath.at(cookiePath.size()) == u'/';
}

// Whether a Domain value is a registry (a public suffix such as "co.uk" or "github.io"), for
// which no server may set a cookie; the list is the system's, kept up to date by Debian.
bool IsPublicSuffix(const QString& domain) {
  static const psl_ctx_t* const list = psl_latest(nullptr);
  return list != nullptr && psl_is_public_suffix(list, domain.toUtf8().constData()) != 0;
}

// A Max-Age value: an optional "-" and digits, nothing else ("+0" and "1e3" are not one).
bool ParseMaxAge(const QString& value, qint64& seconds) {
  const QStringView digits = value.startsWith(u'-') ? QStringView(value).mid(1) : value;
  if (digits.isEmpty()) return false;
  for (const QChar c : digits) {
    if (c < u'0' || c > u'9') return false;
  }
  bool ok = false;
  seconds = value.toLongLong(&ok);
  // More digits than fit are still a number: far in the future, or long past.
  if (!ok) seconds = value.startsWith(u'-') ? -1 : std::numeric_limits<qint64>::max();
  return true;
}

bool IsExpired(const TCookie& cookie, const QDateTime& now) {
  return cookie.expires.isValid() && cookie.expires <= now;
}

bool SameCookie(const TCookie& a, const TCookie& b) {
  return a.name.compare(b.name, Qt::CaseInsensitive) == 0 &&
         a.domain.compare(b.domain, Qt::CaseInsensitive) == 0 &&
         a.path.compare(b.path, Qt::CaseInsensitive) == 0;
}

}  // namespace

QDateTime ParseCookieDate(const QString& text) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  int hour = -1, minute = -1, second = -1, day = -1, month = -1, year = -1;
  qsizetype i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsDateDelimiter(text.at(i))) ++i;
    qsizetype end = i;
    while (end < text.size() && !IsDateDelimiter(text.at(end))) ++end;
    const QString token = text.mid(i, end - i);
    i = end;
    if (token.isEmpty()) continue;
    if (hour < 0) {
      const QStringList parts = token.split(u':');
      if (parts.size() == 3) {
        const int h = LeadingNumber(parts[0], 1, 2), m = LeadingNumber(parts[1], 1, 2);
        qsizetype used = 0;
        const int s = LeadingNumber(parts[2], 1, 2, &used);
        if (h >= 0 && m >= 0 && s >= 0 && parts[0].size() <= 2 && parts[1].size() <= 2) {
          hour = h, minute = m, second = s;
          continue;
        }
      }
    }
    if (day < 0) {
      qsizetype used = 0;
      const int d = LeadingNumber(token, 1, 2, &used);
      if (d >= 0 && (used == token.size() || !token.at(used).isDigit())) {
        day = d;
        continue;
      }
    }
    if (month < 0 && token.size() >= 3) {
      const QString prefix = token.left(3).toLower();
      const auto* found = std::find_if(std::begin(kMonths), std::end(kMonths),
                                       [&](const char* m) { return prefix == QLatin1String(m); });
      if (found != std::end(kMonths)) {
        month = static_cast<int>(found - std::begin(kMonths)) + 1;
        continue;
      }
    }
    if (year < 0) {
      const int y = LeadingNumber(token, 2, 4);
      if (y >= 0) {
        year = y;
        continue;
      }
    }
  }
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (day < 1 || day > 31 || month < 1 || year < 1601 || hour > 23 || minute > 59 || second > 59 ||
      hour < 0) {
    return {};
  }
  const QDate date(year, month, day);
  if (!date.isValid()) return {};
  return QDateTime(date, QTime(hour, minute, second), Qt::UTC);
}

void TCookieStore::SetCookie(const QString& line, const TUrl& url, const QDateTime& now) {
  const QStringList parts = line.split(u';');
  const QString pair = parts.first();
  const qsizetype equals = pair.indexOf(u'=');
  if (equals < 0) return;
  TCookie cookie;
  cookie.name = pair.left(equals).trimmed();
  cookie.value = pair.mid(equals + 1).trimmed();
  if (cookie.name.isEmpty() || cookie.name.size() + cookie.value.size() > kMaxCookieSize) return;

  cookie.domain = url.host.toLower();
  cookie.path = DefaultPath(url);
  bool maxAgeSeen = false;
  QString domainAttribute;  // the last non-empty Domain value, less one leading dot
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const QString& attribute = parts.at(i);
    const qsizetype eq = attribute.indexOf(u'=');
    const QString name = (eq < 0 ? attribute : attribute.left(eq)).trimmed().toLower();
    const QString value = eq < 0 ? QString() : attribute.mid(eq + 1).trimmed();
    if (name == QLatin1String("domain")) {
      if (value.isEmpty()) continue;
      // One leading dot is an old spelling of the same domain; a second one leaves a domain no
      // host is in, so such a cookie is refused below.
      QString domain = value.toLower();
      if (domain.startsWith(u'.')) domain.remove(0, 1);
      domainAttribute = domain;
    } else if (name == QLatin1String("path")) {
      // The last Path counts; one that is empty or not absolute means the default path.
      cookie.path = value.startsWith(u'/') ? value : DefaultPath(url);
    } else if (name == QLatin1String("max-age")) {
      qint64 seconds = 0;
      if (!ParseMaxAge(value, seconds)) continue;
      maxAgeSeen = true;
      // Beyond a century is as good as for ever; it also keeps the date arithmetic in range.
      constexpr qint64 kCentury = 100LL * 366 * 24 * 3600;
      cookie.expires = seconds <= 0 ? now.addSecs(-1) : now.addSecs(std::min(seconds, kCentury));
    } else if (name == QLatin1String("expires")) {
      if (maxAgeSeen) continue;
      const QDateTime expires = ParseCookieDate(value);
      if (expires.isValid()) cookie.expires = expires;
    } else if (name == QLatin1String("secure")) {
      cookie.secure = true;
    } else if (name == QLatin1String("httponly")) {
      cookie.httpOnly = true;
    }
  }
  if (!domainAttribute.isEmpty()) {
    cookie.domain = domainAttribute;
    cookie.hostOnly = false;
    if (IsPublicSuffix(domainAttribute)) {
      // A registry: only as the host's own name, and then for that host alone.
      if (domainAttribute != url.host.toLower()) return;
      cookie.hostOnly = true;
    }
    // A server may set a cookie for its own host or a domain that contains it, nothing else.
    if (!DomainMatches(url.host, cookie)) return;
  }

  const auto old = std::find_if(cookies_.begin(), cookies_.end(),
                                [&](const TCookie& c) { return SameCookie(c, cookie); });
  if (IsExpired(cookie, now)) {
    if (old != cookies_.end()) cookies_.erase(old);
    return;
  }
  if (old != cookies_.end()) {
    cookie.created = old->created;
    cookie.sequence = old->sequence;
    *old = std::move(cookie);
    return;
  }
  cookie.created = now;
  cookie.sequence = nextSequence_++;
  if (static_cast<int>(cookies_.size()) >= kMaxCookies) {
    // Full: the oldest cookie makes room.
    cookies_.erase(std::min_element(
        cookies_.begin(), cookies_.end(),
        [](const TCookie& a, const TCookie& b) { return a.sequence < b.sequence; }));
  }
  cookies_.push_back(std::move(cookie));
}

void TCookieStore::DropExpired(const QDateTime& now) {
  std::erase_if(cookies_, [&](const TCookie& c) { return IsExpired(c, now); });
}

QString TCookieStore::CookieHeader(const TUrl& url, const QDateTime& now) const {
  const bool https = url.scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
  const QString requestPath = RequestPath(url);
  std::vector<const TCookie*> matching;
  for (const TCookie& cookie : cookies_) {
    if (IsExpired(cookie, now) || (cookie.secure && !https)) continue;
    if (DomainMatches(url.host, cookie) && PathMatches(requestPath, cookie.path)) {
      matching.push_back(&cookie);
    }
  }
  std::stable_sort(matching.begin(), matching.end(), [](const TCookie* a, const TCookie* b) {
    if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
    if (a->created != b->created) return a->created < b->created;
    return a->sequence < b->sequence;
  });
  QStringList pairs;
  for (const TCookie* cookie : matching) pairs.append(cookie->name + u'=' + cookie->value);
  return pairs.join(QStringLiteral("; "));
}
