#include "rdptestserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;

void StopProcess(QProcess* process) {
  if (process == nullptr || process->state() == QProcess::NotRunning) return;
  process->terminate();
  if (!process->waitForFinished(kStopTimeoutMs)) {
    process->kill();
    process->waitForFinished(kStopTimeoutMs);
  }
}

bool WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(content) == content.size();
}

}  // namespace

bool WaitForPort(int port, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (ok) return true;
    QThread::msleep(50);
  }
  return false;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

TestRdpServer::TestRdpServer() = default;

TestRdpServer::~TestRdpServer() {
  for (auto& program : programs_) StopProcess(program.get());
  StopServer();
  StopProcess(xvfb_.get());
}

bool TestRdpServer::StartDisplay() {
  StopProcess(xvfb_.get());
  xvfb_ = std::make_unique<QProcess>();
  xvfb_->setProcessChannelMode(QProcess::SeparateChannels);
  xvfb_->start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
  QElapsedTimer clock;
  clock.start();
  QByteArray number;
  while (!number.contains('\n') && clock.elapsed() < kStartTimeoutMs) {
    if (!xvfb_->waitForReadyRead(200) && xvfb_->state() == QProcess::NotRunning) break;
    number += xvfb_->readAllStandardOutput();
  }
  if (!number.contains('\n')) {
    failure_ =
        QStringLiteral("Xvfb gave no display: ") + QString::fromUtf8(xvfb_->readAllStandardError());
    return false;
  }
  display_ = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
  // A display number whose socket another server still holds is of no use; check it answers.
  if (Run(QStringLiteral("xdpyinfo"), {}, kStartTimeoutMs) != 0) {
    failure_ = QStringLiteral("display %1 does not answer").arg(display_);
    return false;
  }
  return true;
}

bool TestRdpServer::Start() {
  if (!dir_.isValid()) return false;
  bool display = false;
  for (int attempt = 0; attempt < 3 && !display; ++attempt) display = StartDisplay();
  if (!display) return false;

  QProcess hash;
  hash.start(QStringLiteral("winpr-hash"),
             {QStringLiteral("-u"), QString::fromLatin1(kUser), QStringLiteral("-p"),
              QString::fromLatin1(kPassword), QStringLiteral("-f"), QStringLiteral("sam")});
  if (!hash.waitForFinished(kStartTimeoutMs) || hash.exitCode() != 0) return false;
  if (!WriteFile(dir_.filePath(QStringLiteral("sam")), hash.readAllStandardOutput())) return false;

  // A port found free can be taken by someone else before the server binds it: try another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    if (port_ != 0 && StartServer()) return true;
  }
  QFile log(dir_.filePath(QStringLiteral("server.log")));
  failure_ =
      QStringLiteral("server on port %1 did not answer: ").arg(port_) +
      (log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll().right(2000)) : QString());
  return false;
}

bool TestRdpServer::StartServer(const QString& serverHome) {
  StopServer();
  const QString home =
      serverHome.isEmpty() ? dir_.filePath(QStringLiteral("server-home")) : serverHome;
  QDir().mkpath(home);
  server_ = std::make_unique<QProcess>();
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), home);
  env.insert(QStringLiteral("DISPLAY"), display_);
  env.remove(QStringLiteral("XDG_CONFIG_HOME"));
  server_->setProcessEnvironment(env);
  server_->setStandardOutputFile(dir_.filePath(QStringLiteral("server.log")), QIODevice::Append);
  server_->setStandardErrorFile(dir_.filePath(QStringLiteral("server.log")), QIODevice::Append);
  server_->start(
      QStringLiteral("freerdp-shadow-cli"),
      {QStringLiteral("/port:%1").arg(port_), QStringLiteral("/bind-address:127.0.0.1"),
       QStringLiteral("-auth"), tlsOnly_ ? QStringLiteral("/sec:tls") : QStringLiteral("/sec:nla"),
       QStringLiteral("/sam-file:") + dir_.filePath(QStringLiteral("sam"))});
  return server_->waitForStarted(kStartTimeoutMs) && WaitForPort(port_, kStartTimeoutMs);
}

void TestRdpServer::StopServer() {
  StopProcess(server_.get());
  server_.reset();
}

int TestRdpServer::Run(const QString& program, const QStringList& arguments, int timeoutMs) {
  QProcess process;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display_);
  process.setProcessEnvironment(env);
  process.start(program, arguments);
  if (!process.waitForFinished(timeoutMs)) {
    StopProcess(&process);
    return -1;
  }
  return process.exitCode();
}

QProcess* TestRdpServer::Launch(const QString& program, const QStringList& arguments) {
  auto process = std::make_unique<QProcess>();
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), display_);
  process->setProcessEnvironment(env);
  process->start(program, arguments);
  if (!process->waitForStarted(kStartTimeoutMs)) return nullptr;
  programs_.push_back(std::move(process));
  return programs_.back().get();
}

bool TestRdpServer::PaintRoot(const QString& colour) {
  return Run(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), colour}) == 0;
}

TestCupsScheduler::TestCupsScheduler() = default;

TestCupsScheduler::~TestCupsScheduler() {
  StopProcess(cupsd_.get());
}

QString TestCupsScheduler::Socket() const {
  return dir_.filePath(QStringLiteral("cups.sock"));
}

bool TestCupsScheduler::Start() {
  if (!dir_.isValid()) return false;
  const QString root = dir_.path();
  for (const char* sub : {"cache", "spool", "state", "log", "ppd"})
    QDir(root).mkpath(QString::fromLatin1(sub));
  const QByteArray conf = "Listen " + Socket().toUtf8() +
                          "\nLogLevel warn\nWebInterface No\nBrowsing No\n"
                          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                          "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                          "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                          "</Policy>\n";
  const QByteArray files =
      "ServerRoot " + root.toUtf8() + "\nRequestRoot " + root.toUtf8() + "/spool\nCacheDir " +
      root.toUtf8() + "/cache\nStateDir " + root.toUtf8() + "/state\nErrorLog " + root.toUtf8() +
      "/log/error_log\nAccessLog " + root.toUtf8() + "/log/access_log\nPageLog " + root.toUtf8() +
      "/log/page_log\nFileDevice Yes\n";
  if (!WriteFile(dir_.filePath(QStringLiteral("cupsd.conf")), conf) ||
      !WriteFile(dir_.filePath(QStringLiteral("cups-files.conf")), files))
    return false;
  cupsd_ = std::make_unique<QProcess>();
  cupsd_->setStandardOutputFile(dir_.filePath(QStringLiteral("log/cupsd.out")));
  cupsd_->setStandardErrorFile(dir_.filePath(QStringLiteral("log/cupsd.out")));
  cupsd_->start(
      QStringLiteral("/usr/sbin/cupsd"),
      {QStringLiteral("-f"), QStringLiteral("-c"), dir_.filePath(QStringLiteral("cupsd.conf")),
       QStringLiteral("-s"), dir_.filePath(QStringLiteral("cups-files.conf"))});
  if (!cupsd_->waitForStarted(kStartTimeoutMs)) return false;
  QElapsedTimer clock;
  clock.start();
  while (!QFile::exists(Socket())) {
    if (clock.elapsed() > kStartTimeoutMs || cupsd_->state() == QProcess::NotRunning) return false;
    QThread::msleep(50);
  }
  qputenv("CUPS_SERVER", Socket().toUtf8());
  return true;
}

bool TestCupsScheduler::AddQueue(const QString& name, bool makeDefault) {
  auto run = [this](const QStringList& arguments) {
    QProcess process;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CUPS_SERVER"), Socket());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("/usr/sbin/lpadmin"), arguments);
    return process.waitForFinished(kStartTimeoutMs) && process.exitCode() == 0;
  };
  if (!run({QStringLiteral("-p"), name, QStringLiteral("-v"), QStringLiteral("file:/dev/null"),
            QStringLiteral("-E")}))
    return false;
  return !makeDefault || run({QStringLiteral("-d"), name});
}
