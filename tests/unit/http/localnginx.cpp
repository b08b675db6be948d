#include "localnginx.h"

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

quint16 FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(quint16 port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool TLocalNginx::Available() {
  return QFileInfo(QString::fromLatin1(kNginx)).isExecutable();
}

TLocalNginx::TLocalNginx() {
  QDir(dir_.path()).mkpath(QStringLiteral("www"));
  // nginx's workers may run as another user when started by root: let them read the files.
  QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                         QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                         QFileDevice::ExeGroup);
}

TLocalNginx::~TLocalNginx() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
}

QString TLocalNginx::Root() const {
  return dir_.filePath(QStringLiteral("www"));
}

QString TLocalNginx::Url(const QString& path) const {
  return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

QString TLocalNginx::Log() const {
  QFile log(dir_.filePath(QStringLiteral("error.log")));
  if (!log.open(QIODevice::ReadOnly)) return {};
  return QString::fromLocal8Bit(log.readAll());
}

bool TLocalNginx::Start() {
  // A port that was free a moment ago may be taken by the time nginx binds it: try a few.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    const QString temp = dir_.path();
    QFile config(dir_.filePath(QStringLiteral("nginx.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    config.write(QStringLiteral("daemon off;\n"
                                "master_process off;\n"
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
                                "  sendfile on;\n"
                                "  server {\n"
                                "    listen 127.0.0.1:%2;\n"
                                "    root %1/www;\n"
                                "  }\n"
                                "}\n")
                     .arg(temp)
                     .arg(port_)
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
      if (process_.state() == QProcess::NotRunning) break;
      if (Accepts(port_)) return true;
      QThread::msleep(20);
    }
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  return false;
}
