#include "cupsscheduler.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "childprocess.h"

namespace {
constexpr int kStartTimeoutMs = 15000;
constexpr int kToolTimeoutMs = 10000;

bool WriteText(const QString& path, const QString& text) {
  QFile file(path);
  const QByteArray bytes = text.toUtf8();
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Runs a CUPS tool against the scheduler; its output goes to the test's, to explain a failure.
bool RunTool(const QString& program, const QStringList& arguments) {
  QProcess tool;
  tool.setProcessChannelMode(QProcess::ForwardedChannels);
  tool.start(program, arguments);
  return tool.waitForFinished(kToolTimeoutMs) && tool.exitStatus() == QProcess::NormalExit &&
         tool.exitCode() == 0;
}
}  // namespace

TestCupsScheduler::TestCupsScheduler() = default;

TestCupsScheduler::~TestCupsScheduler() {
  StopChild(&cupsd_, kToolTimeoutMs);
}

QString TestCupsScheduler::Socket() const {
  return folder_.filePath(QStringLiteral("cups.sock"));
}

bool TestCupsScheduler::Start() {
  if (!folder_.isValid()) {
    error_ = QStringLiteral("no temporary folder");
    return false;
  }
  const QString root = folder_.path();
  for (const char* sub : {"spool", "cache", "state", "log", "ppd"}) QDir(root).mkpath(sub);
  // Everyone may do everything: the only client is this test.
  const QString conf = QStringLiteral(
                           "Listen %1\nLogLevel warn\nWebInterface No\nBrowsing No\n"
                           "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                           "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                           "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                           "</Policy>\n")
                           .arg(Socket());
  const QString files = QStringLiteral(
                            "ServerRoot %1\nRequestRoot %1/spool\nCacheDir %1/cache\n"
                            "StateDir %1/state\nErrorLog %1/log/error_log\n"
                            "AccessLog %1/log/access_log\nPageLog %1/log/page_log\n"
                            "FileDevice Yes\n")
                            .arg(root);
  if (!WriteText(root + "/cupsd.conf", conf) || !WriteText(root + "/cups-files.conf", files)) {
    error_ = QStringLiteral("cannot write the configuration");
    return false;
  }
  qputenv("CUPS_SERVER", QFile::encodeName(Socket()));
  // The scheduler's log goes to its own folder, not to the test's output: a scheduler must not
  // hold the test runner's pipe open.
  cupsd_.setStandardOutputFile(root + "/log/cupsd.out");
  cupsd_.setStandardErrorFile(root + "/log/cupsd.out");
  DieWithTest(cupsd_);
  cupsd_.start(QStringLiteral("/usr/sbin/cupsd"),
               {"-f", "-c", root + "/cupsd.conf", "-s", root + "/cups-files.conf"});
  if (!cupsd_.waitForStarted(kStartTimeoutMs)) {
    error_ = QStringLiteral("cupsd did not start: ") + cupsd_.errorString();
    return false;
  }
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kStartTimeoutMs && cupsd_.state() != QProcess::NotRunning) {
    // The socket file appears before the scheduler accepts requests on it.
    if (QFileInfo::exists(Socket()) && RunTool(QStringLiteral("/usr/bin/lpstat"), {"-r"}))
      return true;
    QThread::msleep(50);
  }
  error_ = QStringLiteral("cupsd did not answer on ") + Socket();
  return false;
}

bool TestCupsScheduler::AddQueue(const QString& name, bool makeDefault) {
  if (!RunTool(QStringLiteral("/usr/sbin/lpadmin"), {"-p", name, "-v", "file:/dev/null", "-E"})) {
    error_ = QStringLiteral("lpadmin could not add ") + name;
    return false;
  }
  return !makeDefault || RunTool(QStringLiteral("/usr/sbin/lpadmin"), {"-d", name});
}
