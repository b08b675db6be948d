// Signing in, the picture, a refused password and full screen.
#include <QLoggingCategory>
#include <mutex>

#include "rdpcontroltest.h"

namespace {

// What the session says about the codecs the server sends, caught from its log.
class CodecLog {
 public:
  CodecLog() {
    QLoggingCategory::setFilterRules(QStringLiteral("zentra.rdp.info=true"));
    previous_ = qInstallMessageHandler(&CodecLog::Handle);
  }
  ~CodecLog() {
    qInstallMessageHandler(previous_);
    QLoggingCategory::setFilterRules(QString());
  }
  CodecLog(const CodecLog&) = delete;
  CodecLog& operator=(const CodecLog&) = delete;

  static QStringList Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("the server sends")) ||
        message.startsWith(QStringLiteral("link round trip"))) {
      std::lock_guard lock(mutex_);
      lines_ << message;
    }
    previous_(type, context, message);
  }
  static inline std::mutex mutex_;
  static inline QStringList lines_;
  static inline QtMessageHandler previous_ = nullptr;
};

}  // namespace

TEST_F(RdpControlTest, RightPasswordConnectsAndShowsTheServerScreenCentred) {
  const CodecLog codecs;
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->Connect();
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnecting);
  ASSERT_TRUE(WaitFor([&] { return events_.size() >= 2; }, kConnectTimeoutMs));
  ASSERT_EQ(events_, (QStringList{"connecting", "connected"}));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);

  ASSERT_TRUE(ShowsColour(QStringLiteral("#20c040")));
  ASSERT_TRUE(ShowsColour(QStringLiteral("#c02080")));
  // This server draws with RemoteFX or H.264 only for clients that offer them outside the
  // pipeline. The session offers RemoteFX or not by the link it measured (on loopback mostly
  // not, on a busy machine sometimes): the picture came as chosen, and nothing else did.
  for (const QString& line : CodecLog::Lines()) std::cout << "codec: " << qPrintable(line) << "\n";
  QStringList lines = CodecLog::Lines();
  ASSERT_FALSE(lines.isEmpty());
  const QString choice = lines.takeFirst();
  ASSERT_TRUE(choice.startsWith(QStringLiteral("link round trip"))) << qPrintable(choice);
  EXPECT_EQ(lines,
            QStringList{
                choice.contains(QStringLiteral("asking for bitmaps"))
                    ? QStringLiteral("the server sends bitmap updates")
                    : QStringLiteral("the server sends surface bits with RemoteFX (codec id 3)")});

  // What a person sees: the desktop 1:1 in the middle, the dark background around it.
  const QRect desktop = client_->DesktopRect();
  EXPECT_EQ(desktop, QRect((1100 - 1024) / 2, (850 - 768) / 2, 1024, 768));
  const QImage shown = client_->viewport()->grab().toImage();
  EXPECT_TRUE(Near(shown.pixel(desktop.center()), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(shown.pixel(desktop.left() + 2, desktop.top() + 2), QColor("#c02080")));
  EXPECT_TRUE(Near(shown.pixel(5, 5), QColor(0x20, 0x20, 0x20)));

  // The server keeps its own size (it has no display control): in a smaller view the desktop
  // is shown whole, scaled down with its aspect kept and centred, nothing to scroll.
  client_->resize(600, 500);
  QCoreApplication::processEvents();
  EXPECT_EQ(client_->DesktopSize(), QSize(1024, 768));
  EXPECT_EQ(client_->DesktopRect(), QRect(0, 25, 600, 450));
  const QImage small = client_->viewport()->grab().toImage();
  EXPECT_TRUE(Near(small.pixel(300, 250), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(2, 27), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(597, 472), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(300, 10), QColor(0x20, 0x20, 0x20)));
  EXPECT_TRUE(Near(small.pixel(300, 490), QColor(0x20, 0x20, 0x20)));

  // A setting cannot change under a live session.
  EXPECT_THROW(client_->SetServer(QStringLiteral("other")), Exception);

  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(reasons_.back(), 1);
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);

  // The same control connects again.
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#2040c0")));
}

TEST_F(RdpControlTest, WrongPasswordEndsWithAReason) {
  Configure(QStringLiteral("not-the-password"));
  client_->Connect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(events_, (QStringList{"connecting", "disconnected"}));
  ASSERT_EQ(reasons_.size(), 1u);
  EXPECT_NE(reasons_[0], 0);
  EXPECT_NE(reasons_[0], 1);
  EXPECT_FALSE(TMsRdpClient::DisconnectReasonText(reasons_[0]).isEmpty());
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);

  // The person corrects the password and tries again.
  events_.clear();
  client_->AdvancedSettings2()->SetClearTextPassword(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
}

TEST_F(RdpControlTest, FullScreenShowsTheDesktopWholeAndCtrlAltEnterReturns) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->SetFullScreen(true);  // asked before connecting: honoured once connected
  EXPECT_TRUE(client_->FullScreen());
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#3060a0")));

  auto fullScreen = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* f = qobject_cast<TRdpFullScreen*>(w); f != nullptr && f->isVisible()) return f;
    return static_cast<TRdpFullScreen*>(nullptr);
  };
  ASSERT_TRUE(WaitFor([&] { return fullScreen() != nullptr; }, 5000));
  TRdpFullScreen* screen = fullScreen();
  // The server keeps its 1024 x 768: shown whole by the view's rule (1:1 on a larger screen,
  // scaled down on a smaller one, never enlarged).
  const QRect target = screen->Target().toRect();
  EXPECT_EQ(target, DesktopTarget(screen->size(), {1024, 768}));
  const QImage shown = screen->grab().toImage();
  EXPECT_TRUE(Near(shown.pixel(target.center()), QColor(QStringLiteral("#3060a0"))));

  // A click on the scaled picture lands on the remote pixel under it.
  const QString log = server_.Folder() + QStringLiteral("/xev-full.log");
  ASSERT_TRUE(LaunchButtonLogger(log));
  const QPointF at(target.x() + target.width() / 2.0, target.y() + target.height() / 4.0);
  for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, screen->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(screen, &event);
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("root:(512,192)");
      },
      kPictureTimeoutMs));

  // Ctrl+Alt+Enter gives the window back; the session goes on.
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier, 36, 0,
                  0);
  QCoreApplication::sendEvent(screen, &press);
  EXPECT_FALSE(client_->FullScreen());
  ASSERT_TRUE(WaitFor([&] { return fullScreen() == nullptr; }, 5000));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);

  // The bar's restore button does the same.
  client_->SetFullScreen(true);
  ASSERT_TRUE(WaitFor([&] { return fullScreen() != nullptr; }, 5000));
  auto* restore = fullScreen()->findChild<QToolButton*>(QStringLiteral("FullScreenRestore"));
  ASSERT_NE(restore, nullptr);
  EXPECT_EQ(restore->text(), QStringLiteral("Restaurar"));
  restore->click();
  ASSERT_TRUE(WaitFor([&] { return fullScreen() == nullptr; }, 5000));
  EXPECT_FALSE(client_->FullScreen());
}
