#include "xvfb.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>
#include <algorithm>

#include "childprocess.h"

namespace {

bool DisplayHeld(int number, const QSet<int>& abstractSockets) {
  return QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
         QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
         abstractSockets.contains(number);
}

// Display numbers of the X servers listening on abstract sockets in this network namespace.
QSet<int> AbstractXSockets() {
  QSet<int> numbers;
  QFile table(QStringLiteral("/proc/net/unix"));
  if (!table.open(QIODevice::ReadOnly)) return numbers;
  const QByteArray prefix = "@/tmp/.X11-unix/X";
  for (const QByteArray& line : table.readAll().split('\n')) {
    const QByteArray path = line.trimmed().split(' ').last();
    if (!path.startsWith(prefix)) continue;
    bool ok = false;
    const int number = path.mid(prefix.size()).toInt(&ok);
    if (ok) numbers.insert(number);
  }
  return numbers;
}

}  // namespace

std::vector<int> FreeDisplayNumbers(int count) {
  const QSet<int> abstractSockets = AbstractXSockets();
  std::vector<int> numbers;
  for (const QByteArray& chosen : qgetenv("ZENTRA_FREE_DISPLAYS").split(' ')) {
    bool ok = false;
    const int number = chosen.toInt(&ok);
    if (ok && !DisplayHeld(number, abstractSockets)) numbers.push_back(number);
  }
  // Spread out, so that runs side by side rarely try the same number first.
  const int start = 100 + static_cast<int>(QRandomGenerator::global()->bounded(800));
  for (int number = start; number < start + 4000 && static_cast<int>(numbers.size()) < count;
       ++number) {
    if (DisplayHeld(number, abstractSockets)) continue;
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
      numbers.push_back(number);
  }
  return numbers;
}

namespace {

constexpr int kXvfbStartTimeoutMs = 30000;

}  // namespace

QString StartXvfb(QProcess& xvfb, const QStringList& arguments, QString& failure) {
  QString errors;
  for (const int number : FreeDisplayNumbers(8)) {
    DieWithTest(xvfb);
    xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    const QString display = QStringLiteral(":%1").arg(number);
    // -noreset: a server resets when its last client leaves and refuses whoever connects during
    // the reset; a test's short-lived probes (xdotool, xprop) would otherwise race the program.
    xvfb.start(QStringLiteral("Xvfb"),
               QStringList{display, QStringLiteral("-noreset")} + arguments);
    if (!xvfb.waitForStarted(kXvfbStartTimeoutMs)) break;
    // Ours once its lock file names it and it listens; a server that found the number taken says
    // so and ends. No client connects to find out: the server resets when its last client leaves,
    // and a program connecting during that reset is refused.
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(number));
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
    const QByteArray pid = QByteArray::number(xvfb.processId());
    QElapsedTimer clock;
    clock.start();
    while (xvfb.state() == QProcess::Running && clock.elapsed() < kXvfbStartTimeoutMs) {
      if (lock.open(QIODevice::ReadOnly)) {
        const bool ours = lock.readAll().trimmed() == pid;
        lock.close();
        if (ours && QFileInfo(socket).exists()) return display;
      }
      QThread::msleep(100);
    }
    errors += QString::fromUtf8(xvfb.readAllStandardError());
    StopChild(&xvfb);
  }
  failure = QStringLiteral("Xvfb found no free display: ") + errors.right(400);
  return {};
}
