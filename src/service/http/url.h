#pragma once

#include <QString>

// An address split into the parts a request is made of. Nothing is percent-encoded or decoded:
// the lookup's query carries the user key exactly as typed.
struct TUrl {
  QString scheme;
  QString userInfo;  // split off and not used
  QString host;
  QString port;      // text; "80" (or "443") when the address names none
  QString path;      // "/" ... "/"
  QString document;  // after the path, without any fragment
  QString query;     // after the first "?", whole

  // path + document, and "?" + query when there is one.
  [[nodiscard]] QString RequestTarget() const;
  // The Host header: the host alone on the scheme's own port, else host ":" port.
  [[nodiscard]] QString HostHeader() const;
  // The port to connect to: the port text as a number, 80 when it is not one.
  [[nodiscard]] quint16 PortNumber() const;
};

[[nodiscard]] TUrl ParseUrl(const QString& address);
