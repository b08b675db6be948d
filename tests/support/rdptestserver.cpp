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
  return RunRecipe({QStringLiteral("sam"), dir_.filePath(QStringLiteral("sam")),
                    QString::fromLatin1(kUser), password});
}

bool TestRdpServer::RunRecipe(const QStringList& arguments) {
  QProcess recipe;
  recipe.start(QStringLiteral(ZENTRA_RDP_TEST_SERVER_SCRIPT), arguments);
  if (recipe.waitForFinished(kStartTimeoutMs) && recipe.exitStatus() == QProcess::NormalExit &&
      recipe.exitCode() == 0)
    return true;
  failure_ =
      QStringLiteral("rdp-test-server %1 failed: %2")
          .arg(arguments.value(0), recipe.error() == QProcess::UnknownError
                                       ? QString::fromUtf8(recipe.readAllStandardError()).trimmed()
                                       : recipe.errorString());
  return false;
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
  return RunRecipe({QStringLiteral("certificate"), home, authority, QStringLiteral("127.0.0.1"),
                    dir_.filePath(QStringLiteral("issued"))});
}

bool TestRdpServer::LaunchServer(const QString& home) {
  StopServer();
  if (!ownCertificate_ && !InstallProviderCertificate(home)) return false;
  server_ = std::make_unique<QProcess>();
  DieWithTest(*server_);
  server_->setStandardOutputFile(dir_.filePath(QStringLiteral("server.log")), QIODevice::Append);
  server_->setStandardErrorFile(dir_.filePath(QStringLiteral("server.log")), QIODevice::Append);
  server_->start(
      QStringLiteral(ZENTRA_RDP_TEST_SERVER_SCRIPT),
      {QStringLiteral("run"), home, display_, QStringLiteral("127.0.0.1"), QString::number(port_),
       security_ == Security::Tls ? QStringLiteral("tls") : QStringLiteral("nla"),
       dir_.filePath(QStringLiteral("sam"))});
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

bool TestRdpServer::WaitForWindow(const QStringList& searchOptions) {
  return Run(QStringLiteral("timeout"),
             QStringList{QStringLiteral("10"), QStringLiteral("xdotool"), QStringLiteral("search"),
                         QStringLiteral("--sync")} +
                 searchOptions,
             12000) == 0;
}

bool TestRdpServer::PaintRoot(const QString& colour) {
  return Run(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), colour}) == 0;
}
