#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx from Debian (/usr/sbin/nginx) for one test or benchmark: its configuration, logs, pid
// file and served folder live in a temporary folder. It dies with the process that started it
// (PR_SET_PDEATHSIG), so a crashed test leaves no server behind.
class TNginxServer {
 public:
  // Whether the program is installed at all.
  [[nodiscard]] static bool Available();

  TNginxServer();
  ~TNginxServer();
  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  // The served folder; files go under it by their URL paths, before or after the start.
  [[nodiscard]] QString Root() const;
  void Put(const QString& urlPath, const QByteArray& bytes);
  // Starts on `listen` ("127.0.0.4:80"), or on a free loopback port when empty, with extra
  // directives inside the server block; waits, bounded, until the port accepts connections.
  // False (see Log()) when it does not come up.
  [[nodiscard]] bool Start(const QString& listen = {}, const QString& serverDirectives = {});
  // "http://ADDRESS:PORT" + path, for the address it listens on.
  [[nodiscard]] QString Url(const QString& path) const;
  // Ends nginx at once, cutting any reply it is sending.
  void Kill();
  [[nodiscard]] QString Log() const;

 private:
  [[nodiscard]] bool StartOn(const QString& listen, const QString& serverDirectives);

  QTemporaryDir dir_;
  QProcess process_;
  QString listen_;
};
