#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx from Debian (/usr/sbin/nginx) serving a folder on 127.0.0.1, with its own configuration,
// logs and pid file in a temporary folder, on a port the system had free. Stopped when destroyed.
class TLocalNginx {
 public:
  // Whether the program is installed at all.
  [[nodiscard]] static bool Available();

  TLocalNginx();
  ~TLocalNginx();
  TLocalNginx(const TLocalNginx&) = delete;
  TLocalNginx& operator=(const TLocalNginx&) = delete;

  // The served folder; put files here before or after the start.
  [[nodiscard]] QString Root() const;
  // Starts and waits (bounded) until the port accepts connections; false with Log() on failure.
  [[nodiscard]] bool Start();
  [[nodiscard]] QString Url(const QString& path) const;
  [[nodiscard]] QString Log() const;

 private:
  QTemporaryDir dir_;
  QProcess process_;
  quint16 port_ = 0;
};
