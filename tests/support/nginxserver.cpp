#include "nginxserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>

#include "freeport.h"

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr int kStartTimeoutMs = 5000;
constexpr int kPortAttempts = 3;

sockaddr_in Address(const QString& listen) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, listen.section(u':', 0, 0).toLatin1().constData(), &address.sin_addr);
  address.sin_port = htons(listen.section(u':', 1, 1).toUShort());
  return address;
}

bool Accepts(const QString& listen) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Address(listen);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool TNginxServer::Available() {
  return QFileInfo(QString::fromLatin1(kNginx)).isExecutable();
}

TNginxServer::TNginxServer() {
  QDir(dir_.path()).mkpath(QStringLiteral("www"));
  // Started by root, nginx's workers may run as another user: let them read the files.
  QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                         QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                         QFileDevice::ExeGroup);
}

TNginxServer::~TNginxServer() {
  Kill();
}

QString TNginxServer::Root() const {
  return dir_.filePath(QStringLiteral("www"));
}

void TNginxServer::Put(const QString& urlPath, const QByteArray& bytes) {
  const QString path = Root() + urlPath;
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
}

QString TNginxServer::Url(const QString& path) const {
  return QStringLiteral("http://%1%2").arg(listen_, path);
}

QString TNginxServer::Log() const {
  QFile log(dir_.filePath(QStringLiteral("error.log")));
  if (!log.open(QIODevice::ReadOnly)) return {};
  return QString::fromLocal8Bit(log.readAll());
}

void TNginxServer::Kill() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(kStartTimeoutMs);
  }
}

bool TNginxServer::Start(const QString& listen, const QString& serverDirectives) {
  if (!listen.isEmpty()) return StartOn(listen, serverDirectives);
  // A port that was free a moment ago may be taken by the time nginx binds it: try a few.
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    if (StartOn(QStringLiteral("127.0.0.1:%1").arg(FreeLoopbackPort()), serverDirectives))
      return true;
  }
  return false;
}

bool TNginxServer::StartOn(const QString& listen, const QString& serverDirectives) {
  Kill();
  listen_ = listen;
  const QString temp = dir_.path();
  QFile config(dir_.filePath(QStringLiteral("nginx.conf")));
  if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  // As root (also root inside a user namespace, where nobody else exists) nginx would switch
  // to its usual unprivileged user: keep ours.
  const QString user = geteuid() == 0 ? QStringLiteral("user root root;\n") : QString();
  config.write(QStringLiteral("daemon off;\n"
                              "master_process off;\n"
                              "%4"
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
                              "    listen %2;\n"
                              "    root %1/www;\n"
                              "%3\n"
                              "  }\n"
                              "}\n")
                   .arg(temp, listen, serverDirectives, user)
                   .toUtf8());
  config.close();
  process_.setProgram(QString::fromLatin1(kNginx));
  process_.setArguments({QStringLiteral("-p"), temp, QStringLiteral("-e"),
                         dir_.filePath(QStringLiteral("error.log")), QStringLiteral("-c"),
                         config.fileName()});
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
  process_.start();
  if (!process_.waitForStarted(kStartTimeoutMs)) return false;
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kStartTimeoutMs) {
    if (process_.state() == QProcess::NotRunning) return false;
    if (Accepts(listen)) return true;
    QThread::msleep(20);
  }
  Kill();
  return false;
}
