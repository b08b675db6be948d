#include "cupsscheduler.h"

#include <sys/prctl.h>

#include <csignal>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {
constexpr int kStartTimeoutMs = 10000;
constexpr int kToolTimeoutMs = 10000;

bool WriteText(const QString& path, const QString& text) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
}
}  // namespace

TestCupsScheduler::TestCupsScheduler() {
  if (!folder_.isValid()) {
    error_ = QStringLiteral("no temporary folder");
    return;
  }
  const QString root = folder_.path();
  for (const char* sub : {"spool", "cache", "state", "log"}) QDir(root).mkpath(sub);
  socket_ = root + QStringLiteral("/cups.sock");
  const QString conf = QStringLiteral(
                           "Listen %1\nLogLevel warn\nBrowsing No\n"
                           "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n")
                           .arg(socket_);
  const QString files = QStringLiteral(
                            "ServerRoot %1\nRequestRoot %1/spool\nCacheDir %1/cache\n"
                            "StateDir %1/state\nErrorLog %1/log/error_log\n"
                            "AccessLog %1/log/access_log\nPageLog %1/log/page_log\n"
                            "FileDevice Yes\n")
                            .arg(root);
  if (!WriteText(root + "/cupsd.conf", conf) || !WriteText(root + "/cups-files.conf", files)) {
    error_ = QStringLiteral("cannot write the configuration");
    return;
  }
  // Set before libcups is first used in this process: it reads the server once.
  qputenv("CUPS_SERVER", QFile::encodeName(socket_));
  // The scheduler's log goes to its own folder, not to the test's output: a test that dies must
  // not leave a scheduler holding the test runner's pipe, and the scheduler ends with the test.
  cupsd_.setStandardOutputFile(root + "/cupsd.out");
  cupsd_.setStandardErrorFile(root + "/cupsd.out");
  cupsd_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
  cupsd_.start(QStringLiteral("/usr/sbin/cupsd"),
               {"-f", "-c", root + "/cupsd.conf", "-s", root + "/cups-files.conf"});
  if (!cupsd_.waitForStarted(kStartTimeoutMs)) {
    error_ = QStringLiteral("cupsd did not start: ") + cupsd_.errorString();
    return;
  }
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kStartTimeoutMs) {
    if (QFileInfo(socket_).exists()) {
      QProcess lpstat;
      lpstat.start(QStringLiteral("/usr/bin/lpstat"), {"-r"});
      if (lpstat.waitForFinished(kToolTimeoutMs) && lpstat.exitCode() == 0) {
        running_ = true;
        return;
      }
    }
    if (cupsd_.state() == QProcess::NotRunning) break;
    QThread::msleep(50);
  }
  error_ = QStringLiteral("cupsd did not answer on ") + socket_;
}

TestCupsScheduler::~TestCupsScheduler() {
  if (cupsd_.state() != QProcess::NotRunning) {
    cupsd_.terminate();
    if (!cupsd_.waitForFinished(kToolTimeoutMs)) {
      cupsd_.kill();
      cupsd_.waitForFinished(kToolTimeoutMs);
    }
  }
}

bool TestCupsScheduler::AddQueue(const QString& name) {
  QProcess lpadmin;
  lpadmin.setProcessChannelMode(QProcess::ForwardedChannels);
  lpadmin.start(QStringLiteral("/usr/sbin/lpadmin"), {"-p", name, "-v", "file:/dev/null", "-E"});
  return lpadmin.waitForFinished(kToolTimeoutMs) && lpadmin.exitStatus() == QProcess::NormalExit &&
         lpadmin.exitCode() == 0;
}
