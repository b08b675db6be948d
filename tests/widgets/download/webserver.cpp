#include "webserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr int kStartTimeoutMs = 5000;

bool Accepts(const QString& listen) {
  const QString host = listen.section(u':', 0, 0);
  const quint16 port = listen.section(u':', 1, 1).toUShort();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

QByteArray MarkingProgram(int size) {
  QByteArray program =
      QByteArray("#!/bin/sh\ntouch \"$(dirname \"$0\")/") + kMarkName + "\"\nexit 0\n#";
  program.append(QByteArray(qMax(0, size - static_cast<int>(program.size()) - 1), 'x'));
  program.append('\n');
  return program;
}

TestWebServer::TestWebServer() {
  QDir(dir_.path()).mkpath(QStringLiteral("www"));
}

TestWebServer::~TestWebServer() {
  Kill();
}

QString TestWebServer::Root() const {
  return dir_.filePath(QStringLiteral("www"));
}

void TestWebServer::Put(const QString& urlPath, const QByteArray& bytes) {
  const QString path = Root() + urlPath;
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
}

QString TestWebServer::Log() const {
  QFile log(dir_.filePath(QStringLiteral("error.log")));
  if (!log.open(QIODevice::ReadOnly)) return {};
  return QString::fromLocal8Bit(log.readAll());
}

bool TestWebServer::Start(const QString& listen, const QString& serverDirectives) {
  const QString temp = dir_.path();
  QFile config(dir_.filePath(QStringLiteral("nginx.conf")));
  if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  config.write(QStringLiteral("daemon off;\n"
                              "master_process off;\n"
                              // Inside a user namespace only our own user exists: never
                              // switch to nginx's usual unprivileged one.
                              "user root root;\n"
                              "worker_processes 1;\n"
                              "pid %1/nginx.pid;\n"
                              "error_log %1/error.log;\n"
                              "events { worker_connections 64; }\n"
                              "http {\n"
                              "  access_log off;\n"
                              "  client_body_temp_path %1/body;\n"
                              "  proxy_temp_path %1/proxy;\n"
                              "  fastcgi_temp_path %1/fastcgi;\n"
                              "  uwsgi_temp_path %1/uwsgi;\n"
                              "  scgi_temp_path %1/scgi;\n"
                              "  default_type application/octet-stream;\n"
                              "  server {\n"
                              "    listen %2;\n"
                              "    root %1/www;\n"
                              "%3\n"
                              "  }\n"
                              "}\n")
                   .arg(temp, listen, serverDirectives)
                   .toUtf8());
  config.close();
  process_.setProgram(QString::fromLatin1(kNginx));
  process_.setArguments({QStringLiteral("-p"), temp, QStringLiteral("-e"),
                         dir_.filePath(QStringLiteral("error.log")), QStringLiteral("-c"),
                         config.fileName()});
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start();
  if (!process_.waitForStarted(kStartTimeoutMs)) return false;
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kStartTimeoutMs) {
    if (process_.state() == QProcess::NotRunning) return false;
    if (Accepts(listen)) return true;
    QThread::msleep(20);
  }
  return false;
}

void TestWebServer::Kill() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(5000);
  }
}
