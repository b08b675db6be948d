#pragma once

#include <QDateTime>
#include <QString>
#include <vector>

#include "service/http/url.h"

// A cookie as a Set-Cookie line gave it.
struct TCookie {
  QString name;
  QString value;
  QString domain;  // lower case, no leading "."
  QString path;
  QDateTime expires;  // invalid: lives as long as the store
  bool hostOnly = true;
  bool secure = false;
  bool httpOnly = false;
  QDateTime created;
  quint64 sequence = 0;  // creation order among equal times
};

// Bounds of the store, so that a hostile server cannot make it grow without end.
inline constexpr int kMaxCookies = 300;
inline constexpr int kMaxCookieSize = 4096;  // name and value together

// The cookies one transfer component has received; in memory only, for as long as it lives.
class TCookieStore {
 public:
  // Takes one Set-Cookie value received for `url`. A cookie with the same name, domain and path
  // (letter case ignored) is replaced and its creation time kept; an expired one is not stored,
  // so it deletes the one it names. A cookie for a domain the host is not in is ignored.
  void SetCookie(const QString& line, const TUrl& url, const QDateTime& now);
  void DropExpired(const QDateTime& now);
  // The Cookie header value for `url`: "name=value" pairs joined by "; ", longer paths first,
  // then older first; empty when no cookie matches.
  [[nodiscard]] QString CookieHeader(const TUrl& url, const QDateTime& now) const;
  [[nodiscard]] const std::vector<TCookie>& Cookies() const { return cookies_; }

 private:
  std::vector<TCookie> cookies_;
  quint64 nextSequence_ = 0;
};

// A cookie date ("Wed, 21 Oct 2015 07:28:00 GMT", also with dashes or two-digit years), UTC;
// invalid when the text is not one.
[[nodiscard]] QDateTime ParseCookieDate(const QString& text);
