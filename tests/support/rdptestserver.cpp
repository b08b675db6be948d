#include "rdptestserver.h"

#include "childprocess.h"
#include "freeport.h"
#include "xvfb.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 5000;

void StopProcess(QProcess* process) {
  StopChild(process, kStopTimeoutMs);
}

bool WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(content) == content.size();
}

}  // namespace

TestRdpServer::TestRdpServer(Security security) : security_(security) {}

TestRdpServer::~TestRdpServer() {
  for (auto& program : programs_) StopProcess(program.get());
  StopServer();
  StopProcess(xvfb_.get());
}

bool TestRdpServer::StartDisplay() {
  StopProcess(xvfb_.get());
  xvfb_ = std::make_unique<QProcess>();
  display_ =
      StartXvfb(*xvfb_,
                {QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
                 QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                failure_);
  return !display_.isEmpty();
}

bool TestRdpServer::UsePassword(const QString& password) {
  QProcess hash;
  hash.start(QStringLiteral("winpr-hash"),
             {QStringLiteral("-u"), QString::fromLatin1(kUser), QStringLiteral("-p"), password,
              QStringLiteral("-f"), QStringLiteral("sam")});
  if (!hash.waitForFinished(kStartTimeoutMs) || hash.exitCode() != 0) {
    failure_ = QStringLiteral("winpr-hash failed");
    return false;
  }
  return WriteFile(dir_.filePath(QStringLiteral("sam")), hash.readAllStandardOutput());
}

bool TestRdpServer::Start() {
  if (!dir_.isValid()) return false;
  bool display = false;
  for (int attempt = 0; attempt < 3 && !display; ++attempt) display = StartDisplay();
  if (!display) return false;

  if (!UsePassword(QString::fromLatin1(kPassword))) return false;

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
  const QString home =
      serverHome.isEmpty() ? dir_.filePath(QStringLiteral("server-home")) : serverHome;
  QDir().mkpath(home);
  // A server that ends before it listens (on a busy machine the one it replaces may still hold
  // the port, or the display may be slow to take a new client) is started again while time is
  // left, rather than failing the test on the first try.
  QElapsedTimer clock;
  clock.start();
  do {
    if (LaunchServer(home) &&
        WaitForPort(port_, static_cast<int>(kStartTimeoutMs - clock.elapsed()),
                    [this] { return !server_->waitForFinished(0); }))
      return true;
    QThread::msleep(500);
  } while (clock.elapsed() < kStartTimeoutMs);
  return false;
}

bool TestRdpServer::InstallProviderCertificate(const QString& home) {
  const QString authority = QStringLiteral(ZENTRA_TEST_CA_DIR);
  if (authority.isEmpty()) return true;  // a build without the test authority: its own, then
  // Where freerdp-shadow-cli keeps its certificate: $HOME/.config/freerdp/shadow.
  const QString folder = home + QStringLiteral("/.config/freerdp/shadow");
  if (QFile::exists(folder + QStringLiteral("/shadow.crt"))) return true;
  const QString issued = dir_.filePath(QStringLiteral("issued"));
  QProcess issue;
  issue.start(QStringLiteral(ZENTRA_TEST_CA_SCRIPT),
              {QStringLiteral("issue"), authority, QStringLiteral("127.0.0.1"), issued});
  if (!issue.waitForFinished(kStartTimeoutMs) || issue.exitCode() != 0 || !QDir().mkpath(folder)) {
    failure_ =
        QStringLiteral("test-ca issue failed: ") + QString::fromUtf8(issue.readAllStandardError());
    return false;
  }
  QFile::remove(folder + QStringLiteral("/shadow.crt"));
  QFile::remove(folder + QStringLiteral("/shadow.key"));
  return QFile::copy(issued + QStringLiteral("/cert.pem"),
                     folder + QStringLiteral("/shadow.crt")) &&
         QFile::copy(issued + QStringLiteral("/key.pem"), folder + QStringLiteral("/shadow.key"));
}

bool TestRdpServer::LaunchServer(const QString& home) {
  StopServer();
  if (!ownCertificate_ && !InstallProviderCertificate(home)) return false;
  server_ = std::make_unique<QProcess>();
  DieWithTest(*server_);
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
       QStringLiteral("-auth"),
       security_ == Security::Tls ? QStringLiteral("/sec:tls") : QStringLiteral("/sec:nla"),
       QStringLiteral("/sam-file:") + dir_.filePath(QStringLiteral("sam"))});
  return server_->waitForStarted(kStartTimeoutMs);
}

void TestRdpServer::StopServer() {
  StopProcess(server_.get());
  server_.reset();
}

int TestRdpServer::Run(const QString& program, const QStringList& arguments, int timeoutMs) {
  QProcess process;
  DieWithTest(process);
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
  DieWithTest(*process);
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
