// Shows the connection pop-up on the display in DISPLAY, as the session window does while
// connecting, prints "SHOWN x y width height" once it has faded in, and keeps it up until the file
// named on the command line exists (at most 30 s).
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <functional>

#include "principal/alert/alertimages.h"
#include "principal/alert/desktopalert.h"
#include "principal/alert/fadealertstylehandler.h"
#include "shell/fonts.h"
#include "shell/timer.h"

namespace {

constexpr int kShowTimeoutMs = 10000;
constexpr int kHoldTimeoutMs = 30000;

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: alert_popup_probe DONE_FILE\n");
    return 2;
  }
  const QString doneFile = QString::fromLocal8Bit(argv[1]);
  LoadBundledFonts();
  SetTimeScale(0.2);

  TDesktopAlert alert(nullptr);
  LoadSessionAlertSettings(alert);
  alert.SetMessageText(QStringLiteral("Conectando"));
  alert.SetImage(AlertImages().at(kAlertImageConnecting));
  alert.Execute();
  const bool shown = PumpUntil(
      [&] {
        return alert.Showing() && !alert.StyleHandler()->Active() &&
               alert.AlertWindow()->AlphaBlendValue() == 200;
      },
      kShowTimeoutMs);
  if (!shown) {
    std::fprintf(stderr, "the pop-up did not fade in\n");
    return 1;
  }
  // Let the window system map and paint it.
  PumpUntil([] { return false; }, 300);
  const QRect frame = alert.AlertWindow()->frameGeometry();
  std::printf("SHOWN %d %d %d %d\n", frame.x(), frame.y(), frame.width(), frame.height());
  std::fflush(stdout);
  PumpUntil([&] { return QFile::exists(doneFile); }, kHoldTimeoutMs);
  return alert.Showing() ? 0 : 1;
}
