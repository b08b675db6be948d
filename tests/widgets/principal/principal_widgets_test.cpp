// The session window offscreen: its show sequence, toolbar and connection event handlers. The
// real session against a server is covered end to end; here the control connects to a loopback
// port where nothing listens.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <memory>

#include "createforms.h"
#include "platform/registry.h"
#include "principal/alert/desktopalert.h"
#include "principal/frmprincipal.h"
#include "principal/keyboard/touchkeyboard.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/msrdpclientadvancedsettings.h"
#include "shell/application.h"
#include "testapp.h"

using testing_support::ShownBoxes;
using testing_support::WaitFor;

namespace {

// Receives the addresses the window hands to the desktop's browser.
class BrowserProbe : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.append(url); }
};

class SessionWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    testing_support::ClearBoxes();
    saved_ = Application;
    app_ = std::make_unique<TApplication>(u"zentra"_qs);
    CreateApplicationForms();
    Control()->SetServer(u"127.0.0.1"_qs);
    Control()->AdvancedSettings2()->SetRDPPort(1);  // nothing listens there: refused at once
  }
  void TearDown() override {
    app_.reset();
    Application = saved_;
    qunsetenv("XDG_CONFIG_HOME");
  }

  TMsRdpClient* Control() { return FrmPrincipal->MsRdpClient71(); }
  QToolButton* Button(const char* name) {
    return FrmPrincipal->findChild<QToolButton*>(QString::fromLatin1(name));
  }

  QTemporaryDir config_;
  TApplication* saved_ = nullptr;
  std::unique_ptr<TApplication> app_;
};

TEST_F(SessionWindowTest, ShowWritesThePrinterValueFillsTheScreenAndConnects) {
  FrmPrincipal->BecomeMainForm();
  FrmPrincipal->Show();

  EXPECT_TRUE(ShownBoxes().empty());
  QSettings store(config_.filePath(u"zentra/registry.ini"_qs), QSettings::IniFormat);
  EXPECT_EQ(store
                .value(u"Software/Microsoft/Terminal Server Client/Default/AddIns/RDPDR/"
                       "FilterQueueType"_qs)
                .toULongLong(),
            0xFFFFFFFFull);
  EXPECT_TRUE(FrmPrincipal->windowState() & Qt::WindowMaximized);
  EXPECT_TRUE(Control()->AdvancedSettings2()->RedirectDrives());
  EXPECT_TRUE(Control()->AdvancedSettings2()->RedirectPrinters());
  EXPECT_TRUE(Control()->AdvancedSettings2()->RedirectPorts());
  EXPECT_NE(Control()->Connected(), TMsRdpClient::kNotConnected);
  EXPECT_FALSE(Button("SpeedButton3")->isEnabled());

  // The refused attempt ends in the disconnection handler: notice and "Reconectar".
  ASSERT_TRUE(WaitFor([&] { return Button("SpeedButton3")->isEnabled(); }, 20000));
  EXPECT_EQ(FrmPrincipal->DesktopAlert1()->MessageText(), QString::fromUtf16(kAlertDesconectado));
  EXPECT_TRUE(FrmPrincipal->DesktopAlert1()->Showing());
}

TEST_F(SessionWindowTest, AnUnwritableSettingsStoreStopsTheShowAfterOneErrorBox) {
  qputenv("XDG_CONFIG_HOME", "/dev/null/zentra-config");
  FrmPrincipal->BecomeMainForm();
  FrmPrincipal->Show();

  ASSERT_EQ(ShownBoxes().size(), 1u);
  // The text ends in a quote, which sorts before ".": the error box adds no period.
  EXPECT_EQ(ShownBoxes()[0].text, u"Failed to set data for 'FilterQueueType'"_qs);
  EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::Error);
  EXPECT_TRUE(FrmPrincipal->isVisible());
  EXPECT_FALSE(FrmPrincipal->windowState() & Qt::WindowMaximized);
  EXPECT_EQ(Control()->Connected(), TMsRdpClient::kNotConnected);
  EXPECT_FALSE(Button("SpeedButton3")->isEnabled());
}

TEST_F(SessionWindowTest, ConnectionEventsDriveTheAlertAndReconnect) {
  TDesktopAlert* alert = FrmPrincipal->DesktopAlert1();
  emit Control()->OnConnected();  // no alert showing: nothing changes
  EXPECT_FALSE(alert->Showing());

  emit Control()->OnConnecting();
  EXPECT_EQ(alert->MessageText(), QString::fromUtf16(kAlertConectando));
  EXPECT_TRUE(alert->Showing());
  EXPECT_FALSE(Button("SpeedButton3")->isEnabled());

  for (const int reason : {0, 1, 2, 0x904}) {
    Button("SpeedButton3")->setEnabled(false);
    emit Control()->OnDisconnected(reason);
    EXPECT_TRUE(Button("SpeedButton3")->isEnabled());
    EXPECT_EQ(alert->MessageText(), QString::fromUtf16(kAlertDesconectado));
    EXPECT_EQ(alert->Image().cacheKey() != 0, true);
  }

  // "Reconectar" disables itself before it connects, so a second press cannot happen.
  QTest::mouseClick(Button("SpeedButton3"), Qt::LeftButton);
  EXPECT_FALSE(Button("SpeedButton3")->isEnabled());
  EXPECT_NE(Control()->Connected(), TMsRdpClient::kNotConnected);
}

TEST_F(SessionWindowTest, TecladoVirtualLendsTheControlsHeightToTheKeyboardAndBack) {
  FrmPrincipal->resize(1024, 700);
  FrmPrincipal->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(FrmPrincipal));
  const int before = Control()->height();
  TTouchKeyboard* keyboard = FrmPrincipal->TouchKeyboard1();
  EXPECT_TRUE(keyboard->isHidden());

  QTest::mouseClick(Button("SpeedButton4"), Qt::LeftButton);
  QApplication::processEvents();
  EXPECT_FALSE(keyboard->isHidden());
  EXPECT_EQ(keyboard->height(), 180);
  EXPECT_EQ(Control()->height(), before - 180);

  QTest::mouseClick(Button("SpeedButton4"), Qt::LeftButton);
  QApplication::processEvents();
  EXPECT_TRUE(keyboard->isHidden());
  EXPECT_EQ(Control()->height(), before);
}

TEST_F(SessionWindowTest, SupportOpensTheProvidersSiteInTheBrowser) {
  BrowserProbe browser;
  QDesktopServices::setUrlHandler(u"http"_qs, &browser, "Open");
  QTest::mouseClick(Button("SpeedButton2"), Qt::LeftButton);
  QDesktopServices::unsetUrlHandler(u"http"_qs);
  ASSERT_EQ(browser.opened.size(), 1);
  EXPECT_EQ(browser.opened[0].scheme(), u"http"_qs);
  EXPECT_FALSE(browser.opened[0].host().isEmpty());
  EXPECT_TRUE(ShownBoxes().empty());
}

TEST_F(SessionWindowTest, ClosingEndsTheApplicationWhetherOrNotConnected) {
  FrmPrincipal->BecomeMainForm();
  FrmPrincipal->show();
  FrmPrincipal->Close();
  app_->ProcessMessages();
  EXPECT_TRUE(app_->Terminated());
  EXPECT_TRUE(ShownBoxes().empty());
}

}  // namespace

#include "principal_widgets_test.moc"
