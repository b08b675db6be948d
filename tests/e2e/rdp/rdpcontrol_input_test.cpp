// Keys, clicks and the wheel, as a program on the server receives them.
#include "rdpcontroltest.h"

TEST_F(RdpControlTest, TypedKeysArriveInAProgramOnTheServer) {
  const QString typed = server_.Folder() + QStringLiteral("/typed.txt");
  ASSERT_NE(server_.Launch(QStringLiteral("xterm"),
                           {QStringLiteral("-geometry"), QStringLiteral("60x10+0+0"),
                            QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
                            QStringLiteral("cat > '%1'").arg(typed)}),
            nullptr);
  ASSERT_TRUE(server_.WaitForWindow({QStringLiteral("--class"), QStringLiteral("xterm")}));
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  client_->setFocus();
  // Without a window manager the keyboard follows the pointer: put it over the terminal.
  Mouse(QEvent::MouseMove, {60, 40});

  // Native X key codes (what the physical keyboard gives): z e n, Shift+t = "T".
  Key(Qt::Key_Z, 52, QStringLiteral("z"));
  Key(Qt::Key_E, 26, QStringLiteral("e"));
  Key(Qt::Key_N, 57, QStringLiteral("n"));
  QKeyEvent shiftDown(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0, 0);
  QCoreApplication::sendEvent(client_.get(), &shiftDown);
  Key(Qt::Key_T, 28, QStringLiteral("T"), Qt::ShiftModifier);
  QKeyEvent shiftUp(QEvent::KeyRelease, Qt::Key_Shift, Qt::ShiftModifier, 50, 0, 0);
  QCoreApplication::sendEvent(client_.get(), &shiftUp);
  // Key events without a native code (as a synthesised key may come): r a 4 2, then Enter.
  Key(Qt::Key_R);
  Key(Qt::Key_A);
  Key(Qt::Key_4);
  Key(Qt::Key_2);
  Key(Qt::Key_Return, 36);

  const bool arrived = WaitFor(
      [&] {
        QFile file(typed);
        return file.open(QIODevice::ReadOnly) && file.readAll() == "zenTra42\n";
      },
      kPictureTimeoutMs);
  QFile file(typed);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly) || !arrived);
  EXPECT_TRUE(arrived) << "typed file holds: " << file.readAll().toStdString();
}

TEST_F(RdpControlTest, ClicksAndWheelLandAtTheIntendedRemoteCoordinates) {
  const QString log = server_.Folder() + QStringLiteral("/xev.log");
  ASSERT_TRUE(LaunchButtonLogger(log));
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());

  const QPoint target(321, 234);
  Mouse(QEvent::MouseMove, target);
  Mouse(QEvent::MouseButtonPress, target, Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, target, Qt::LeftButton);
  Mouse(QEvent::MouseButtonPress, {700, 500}, Qt::RightButton);
  Mouse(QEvent::MouseButtonRelease, {700, 500}, Qt::RightButton);
  const QPointF at = client_->DesktopRect().topLeft() + QPoint(400, 300);
  QWheelEvent wheel(at, client_->viewport()->mapToGlobal(at), {}, {0, -120}, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(client_->viewport(), &wheel);

  auto logText = [&] {
    QFile file(log);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  };
  // xev prints "ButtonPress event ... (x,y), root:(x,y), state ..., button N".
  auto pressed = [&](int button, QPoint where) {
    static const QRegularExpression kPress(
        QStringLiteral("ButtonPress event.*?root:\\((\\d+),(\\d+)\\).*?button (\\d+)"),
        QRegularExpression::DotMatchesEverythingOption);
    auto it = kPress.globalMatch(logText());
    while (it.hasNext()) {
      const auto m = it.next();
      if (m.captured(3).toInt() == button &&
          QPoint(m.captured(1).toInt(), m.captured(2).toInt()) == where)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitFor([&] { return pressed(1, target); }, kPictureTimeoutMs))
      << logText().toStdString();
  EXPECT_TRUE(WaitFor([&] { return pressed(3, {700, 500}); }, kPictureTimeoutMs));
  // A notch towards the person scrolls down: X button 5.
  EXPECT_TRUE(WaitFor([&] { return pressed(5, {400, 300}); }, kPictureTimeoutMs));

  // The server's own pointer as it draws it, while the desktop is shown 1:1: the root's, which
  // the shadow server sends when it changes (it notices while the screen changes too). It may
  // first send a one-pixel one, which no scale changes.
  constexpr int kPointerSide = 8;
  ASSERT_EQ(server_.Run(QStringLiteral("xsetroot"),
                        {QStringLiteral("-cursor_name"), QStringLiteral("watch")}),
            0);
  int turn = 0;
  const bool pointerArrived = WaitFor(
      [&] {
        return server_.PaintRoot(++turn % 2 != 0 ? QStringLiteral("#203040")
                                                 : QStringLiteral("#304050")) &&
               client_->viewport()->cursor().shape() == Qt::BitmapCursor &&
               client_->viewport()->cursor().pixmap().width() >= kPointerSide;
      },
      kPictureTimeoutMs);
  ASSERT_TRUE(pointerArrived) << "the server's pointer did not arrive";
  const QSize pointer = client_->viewport()->cursor().pixmap().size();

  // A view smaller than the server's desktop shows it scaled down whole; a click lands on the
  // remote pixel under the pointer: view (150, 175) is desktop (256, 256) in a 600 x 450 picture
  // 25 pixels from the top. The pointer shrinks with the picture.
  client_->resize(600, 500);
  QCoreApplication::processEvents();
  ASSERT_EQ(client_->DesktopRect(), QRect(0, 25, 600, 450));
  EXPECT_EQ(client_->viewport()->cursor().pixmap().size(),
            QSize(qRound(pointer.width() * 600.0 / 1024), qRound(pointer.height() * 600.0 / 1024)))
      << "the pointer at 1:1 was " << pointer.width() << " x " << pointer.height();
  MouseAtView(QEvent::MouseMove, {150, 175});
  MouseAtView(QEvent::MouseButtonPress, {150, 175}, Qt::LeftButton);
  MouseAtView(QEvent::MouseButtonRelease, {150, 175}, Qt::LeftButton);
  EXPECT_TRUE(WaitFor(
      [&] {
        return pressed(1, {256, 256});
      },
      kPictureTimeoutMs))
      << logText().toStdString();
  MouseAtView(QEvent::MouseButtonPress, {599, 474}, Qt::RightButton);
  MouseAtView(QEvent::MouseButtonRelease, {599, 474}, Qt::RightButton);
  EXPECT_TRUE(WaitFor(
      [&] {
        return pressed(3, {1022, 766});
      },
      kPictureTimeoutMs))
      << logText().toStdString();
}
