// The shown pop-up on a real X server: its caption, body and frame colours are on the screen,
// flush in the bottom-right corner.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "testapp.h"

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 1024;
constexpr int kStartTimeoutMs = 15000;
constexpr int kGrabTimeoutMs = 20000;
constexpr char kImport[] = "/usr/bin/import";

// A process that is ended when the test leaves, whatever happened.
struct Child {
  QProcess process;
  ~Child() {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
      process.kill();
      process.waitForFinished(5000);
    }
  }
};

QColor At(const QImage& screen, int x, int y) {
  return screen.pixelColor(x, y);
}

TEST(AlertOnScreen, ShownPopUpHasItsColoursInTheCorner) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString displayFile = dir.filePath(QStringLiteral("display"));

  // Xvfb picks a free display itself and writes its number to fd 3.
  Child xvfb;
  xvfb.process.start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("exec Xvfb -displayfd 3 -screen 0 %1x%2x24 -nolisten tcp "
                                     "3>\"$0\"")
                          .arg(kScreenWidth)
                          .arg(kScreenHeight),
                      displayFile});
  ASSERT_TRUE(xvfb.process.waitForStarted(kStartTimeoutMs));
  QString display;
  ASSERT_TRUE(testing_support::WaitFor(
      [&] {
        QFile file(displayFile);
        if (!file.open(QIODevice::ReadOnly)) return false;
        display = QString::fromLatin1(file.readAll()).trimmed();
        return !display.isEmpty();
      },
      kStartTimeoutMs))
      << "Xvfb did not start: " << xvfb.process.readAllStandardError().toStdString();
  display.prepend(u':');

  const QString doneFile = dir.filePath(QStringLiteral("done"));
  Child probe;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  environment.insert(QStringLiteral("DISPLAY"), display);
  probe.process.setProcessEnvironment(environment);
  probe.process.start(QStringLiteral(ALERT_POPUP_PROBE), {doneFile});
  ASSERT_TRUE(probe.process.waitForStarted(kStartTimeoutMs));
  QByteArray out;
  ASSERT_TRUE(testing_support::WaitFor(
      [&] {
        probe.process.waitForReadyRead(10);
        out += probe.process.readAllStandardOutput();
        return out.contains('\n') || probe.process.state() == QProcess::NotRunning;
      },
      kStartTimeoutMs));
  ASSERT_TRUE(out.startsWith("SHOWN "))
      << out.toStdString() << probe.process.readAllStandardError().toStdString();
  const QList<QByteArray> fields = out.trimmed().split(' ');
  ASSERT_EQ(fields.size(), 5);
  const QRect frame(fields[1].toInt(), fields[2].toInt(), fields[3].toInt(), fields[4].toInt());
  EXPECT_EQ(frame, QRect(kScreenWidth - 329, kScreenHeight - 76, 329, 76));

  const QString shot = dir.filePath(QStringLiteral("screen.png"));
  QProcess grab;
  grab.start(QString::fromLatin1(kImport),
             {QStringLiteral("-display"), display, QStringLiteral("-window"),
              QStringLiteral("root"), shot});
  ASSERT_TRUE(grab.waitForFinished(kGrabTimeoutMs));
  ASSERT_EQ(grab.exitCode(), 0) << grab.readAllStandardError().toStdString();
  QFile(doneFile).open(QIODevice::WriteOnly);
  ASSERT_TRUE(probe.process.waitForFinished(kStartTimeoutMs));
  EXPECT_EQ(probe.process.exitCode(), 0) << "the pop-up was gone before the screenshot ended";

  QImage screen(shot);
  ASSERT_EQ(screen.size(), QSize(kScreenWidth, kScreenHeight));
  const int left = kScreenWidth - 329;
  const int top = kScreenHeight - 76;
  const QColor frameColour(128, 128, 128);
  // No compositor runs, so the pop-up shows its colours unblended.
  EXPECT_EQ(At(screen, left + 3, top + 1), QColor(73, 124, 205)) << "caption strip";
  EXPECT_EQ(At(screen, left + 200, top + 7), QColor(16, 65, 148)) << "caption strip";
  EXPECT_EQ(At(screen, left + 3, top + 9), QColor(206, 231, 255)) << "body top";
  EXPECT_EQ(At(screen, left + 200, top + 9 + 33), QColor(164, 198, 243)) << "body middle";
  EXPECT_EQ(At(screen, left + 3, top + 74), QColor(123, 166, 231)) << "body bottom";
  EXPECT_EQ(At(screen, left, top + 40), frameColour) << "left frame";
  EXPECT_EQ(At(screen, left + 100, top), frameColour) << "top frame";
  EXPECT_EQ(At(screen, kScreenWidth - 1, kScreenHeight - 1), frameColour) << "corner, flush";
  // Beyond the pop-up: Xvfb's empty root window.
  EXPECT_NE(At(screen, left - 1, top + 40), frameColour);
  // The globe is drawn where the icon sits.
  const QColor icon = At(screen, left + 8 + 25, top + 13 + 25);
  EXPECT_NE(icon, At(screen, left + 3, top + 13 + 25));
}

}  // namespace
