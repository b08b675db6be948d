// Sign-in as a person does it: typing, Enter, clicks and Tab in the login window, against
// scripted lookup servers reached through the build's host names (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "createforms.h"
#include "login/frmlogin.h"
#include "principal/frmprincipal.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/msrdpclientadvancedsettings.h"
#include "scriptedpeer.h"
#include "shell/application.h"
#include "testapp.h"

using testing_support::ShownBoxes;

namespace {

const QString kNotFound = QString::fromUtf16(kMsgUsuarioNaoEncontrado);
const QString kIncorrect = QString::fromUtf16(kMsgParametrosIncorretos);

class SignInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(normal_.Listening()) << "run inside netns-run (port 52 on 127.0.0.2)";
    if (!alternative_) alternative_ = std::make_unique<TScriptedPeer>("127.0.0.3");
    ASSERT_TRUE(alternative_->Listening());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    testing_support::ClearBoxes();
    saved_ = Application;
    app_ = std::make_unique<TApplication>(u"zentra"_qs);
    CreateApplicationForms();
    FrmLogin->Show();
    FrmLogin->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(FrmLogin));
  }

  void TearDown() override {
    app_.reset();
    Application = saved_;
  }

  template <typename T>
  T* Child(const char* name) {
    return FrmLogin->findChild<T*>(QString::fromLatin1(name));
  }
  QLineEdit* Edit1() { return Child<QLineEdit>("Edit1"); }
  QLineEdit* Edit2() { return Child<QLineEdit>("Edit2"); }
  QPushButton* Button1() { return Child<QPushButton>("Button1"); }
  QGroupBox* RadioGroup1() { return Child<QGroupBox>("RadioGroup1"); }
  QCheckBox* CheckBox1() { return Child<QCheckBox>("CheckBox1"); }
  TMsRdpClient* Control() { return FrmPrincipal->MsRdpClient71(); }

  void Type(QLineEdit* field, const QString& text) {
    field->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(field, text);
  }
  void PressEnterIn(QWidget* field, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(field, Qt::Key_Return, modifiers);
  }
  // The key of the last lookup request, as it stood in the request line.
  static QString LastKey(TScriptedPeer& server) {
    const QStringList requests = server.Requests();
    if (requests.isEmpty()) return u"<no request>"_qs;
    const QString line = requests.back().section(u"\r\n"_qs, 0, 0);
    return line.section(u"usuario="_qs, 1).section(u' ', 0, 0);
  }

  TScriptedPeer normal_{"127.0.0.2"};
  std::unique_ptr<TScriptedPeer> alternative_ = std::make_unique<TScriptedPeer>("127.0.0.3");
  QTemporaryDir config_;
  TApplication* saved_ = nullptr;
  std::unique_ptr<TApplication> app_;
};

TEST_F(SignInTest, AReplyWithServerAndPortSignsInAndHandsOverToTheSessionWindow) {
  for (const char* body : {"srv;3389", "srv; 3389"}) {
    SCOPED_TRACE(body);
    TearDown();
    SetUp();
    normal_.ReplyWithBody(body);
    Type(Edit1(), u"Ana42"_qs);
    Type(Edit2(), u"s3cret pw"_qs);
    PressEnterIn(Edit2());

    EXPECT_TRUE(ShownBoxes().empty());
    EXPECT_EQ(LastKey(normal_), u"ana"_qs);
    EXPECT_EQ(Control()->UserName(), u"ana42"_qs);
    EXPECT_EQ(Control()->AdvancedSettings2()->ClearTextPassword(), u"s3cret pw"_qs);
    EXPECT_EQ(Control()->DesktopWidth(), 1024);
    EXPECT_EQ(Control()->DesktopHeight(), 768);
    EXPECT_EQ(Control()->Server(), u"srv"_qs);
    EXPECT_EQ(Control()->AdvancedSettings2()->RDPPort(), 3389);
    EXPECT_EQ(Application->MainForm(), FrmPrincipal);
    EXPECT_TRUE(FrmPrincipal->isVisible());
    EXPECT_FALSE(FrmLogin->isVisible());
    EXPECT_FALSE(Application->Terminated());
  }
}

TEST_F(SignInTest, RepliesWithoutServerOrPortOrWithABadPortGiveTheirMessages) {
  const struct {
    QByteArray body;
    QString message;
    bool writtenBeforePort;
  } cases[] = {
      {"", kNotFound, false},
      {"srv", kNotFound, false},
      {";3389", kNotFound, false},
      {"srv;", kNotFound, false},
      {"srv;3389\r\n", kIncorrect, false},
      {"srv;33a9", kIncorrect, false},
      {"srv;3389;x", kIncorrect, false},
      {"srv;70000", kIncorrect, true},  // the control refuses the port
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.toStdString());
    TearDown();
    SetUp();
    normal_.ReplyWithBody(c.body);
    Type(Edit1(), u"ana"_qs);
    Type(Edit2(), u"pw"_qs);
    PressEnterIn(Edit1());

    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, c.message);
    EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::None);
    EXPECT_EQ(ShownBoxes()[0].caption, u"zentra"_qs);
    EXPECT_EQ(Control()->UserName(), c.writtenBeforePort ? u"ana"_qs : QString());
    EXPECT_EQ(Control()->Server(), c.writtenBeforePort ? u"srv"_qs : QString());
    EXPECT_EQ(Control()->AdvancedSettings2()->ClearTextPassword(),
              c.writtenBeforePort ? u"pw"_qs : QString());
    EXPECT_TRUE(FrmLogin->isVisible());
    EXPECT_EQ(Application->MainForm(), FrmLogin);
    EXPECT_EQ(Edit1()->text(), u"ana"_qs);
  }
}

TEST_F(SignInTest, AServerThatIsNeitherAHostNameNorAnAddressGivesTheCatchAllMessage) {
  // FreeRDP would read "|7" as an open descriptor and "/tmp/x" as a local socket.
  for (const char* body : {"|;7", "/tmp/x;1", "srv x;3389"}) {
    SCOPED_TRACE(body);
    TearDown();
    SetUp();
    normal_.ReplyWithBody(body);
    Type(Edit1(), u"ana"_qs);
    Type(Edit2(), u"pw"_qs);
    PressEnterIn(Edit1());

    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, kIncorrect);
    EXPECT_TRUE(Control()->Server().isEmpty());
    EXPECT_FALSE(FrmPrincipal->isVisible());
    EXPECT_EQ(Control()->Connected(), TMsRdpClient::kNotConnected);
    EXPECT_EQ(Application->MainForm(), FrmLogin);
  }
}

TEST_F(SignInTest, HexadecimalPortAndFailuresOfTheLookupItself) {
  normal_.ReplyWithBody("srv;$D3D");
  Type(Edit1(), u"ana"_qs);
  PressEnterIn(Edit1());
  EXPECT_EQ(Control()->AdvancedSettings2()->RDPPort(), 3389);

  TearDown();
  SetUp();
  normal_.ReplyWithBytes("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
  Type(Edit1(), u"ana"_qs);
  PressEnterIn(Edit1());
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, kIncorrect);

  // Nothing listens on the alternative route's port 52 any more: refused.
  TearDown();
  SetUp();
  CheckBox1()->click();
  alternative_.reset();
  testing_support::ClearBoxes();
  Type(Edit1(), u"ana"_qs);
  PressEnterIn(Edit1());
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, kIncorrect);
}

TEST_F(SignInTest, TheKeySentDependsOnDigitsSiteChoiceAndBlanks) {
  normal_.ReplyWithBody("");  // "not found" keeps the login window for the next attempt

  Type(Edit1(), u"ma9ria"_qs);
  PressEnterIn(Edit1());
  EXPECT_EQ(LastKey(normal_), u"maria"_qs);

  Edit1()->clear();
  Type(Edit1(), u"MEROVIA7"_qs);
  EXPECT_EQ(Edit1()->text(), u"merovia7"_qs);
  Edit2()->setFocus(Qt::TabFocusReason);  // leaving the field shows the site choice
  EXPECT_FALSE(RadioGroup1()->isHidden());
  PressEnterIn(Edit2());
  EXPECT_EQ(LastKey(normal_), u"merovia_zirevuvar"_qs);

  QTest::mouseClick(Child<QRadioButton>("RadioButton2"), Qt::LeftButton);
  EXPECT_TRUE(Button1()->hasFocus());  // choosing a site moves on to the button
  PressEnterIn(Edit2());
  EXPECT_EQ(LastKey(normal_), u"merovia"_qs);

  Edit1()->clear();
  Type(Edit1(), u"joao silva"_qs);
  Edit2()->setFocus(Qt::TabFocusReason);
  EXPECT_TRUE(RadioGroup1()->isHidden());
  PressEnterIn(Edit2());
  EXPECT_EQ(LastKey(normal_), u"joao%20silva"_qs);
}

TEST_F(SignInTest, EnterSignsInWithoutLeavingTheFieldButAClickLeavesItFirst) {
  normal_.ReplyWithBody("");
  Type(Edit1(), u"merovia"_qs);
  for (const Qt::KeyboardModifiers modifiers :
       {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ShiftModifier),
        Qt::KeyboardModifiers(Qt::ControlModifier)}) {
    const auto before = normal_.Requests().size();
    PressEnterIn(Edit1(), modifiers);
    EXPECT_EQ(normal_.Requests().size(), before + 1);
    EXPECT_EQ(LastKey(normal_), u"merovia"_qs);  // the choice is still hidden
    EXPECT_TRUE(RadioGroup1()->isHidden());
  }

  Edit1()->setFocus(Qt::TabFocusReason);
  QTest::mouseClick(Button1(), Qt::LeftButton);
  EXPECT_FALSE(RadioGroup1()->isHidden());
  EXPECT_EQ(LastKey(normal_), u"merovia_zirevuvar"_qs);
}

TEST_F(SignInTest, EnterAndSpaceOnTheFocusedButtonClickItButNotWithShiftCtrlOrAlt) {
  normal_.ReplyWithBody("");  // "not found" keeps the login window for the next key
  Type(Edit1(), u"ana"_qs);
  const struct {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    bool signsIn;
  } cases[] = {
      {"Enter", Qt::Key_Return, Qt::NoModifier, true},
      {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier, true},
      {"Space", Qt::Key_Space, Qt::NoModifier, true},
      {"Shift+Enter", Qt::Key_Return, Qt::ShiftModifier, false},
      {"Ctrl+Enter", Qt::Key_Return, Qt::ControlModifier, false},
      {"Alt+keypad Enter", Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier, false},
      {"Esc", Qt::Key_Escape, Qt::NoModifier, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Button1()->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(Button1()->hasFocus());
    const auto before = normal_.Requests().size();
    QTest::keyClick(Button1(), c.key, c.modifiers);
    EXPECT_EQ(normal_.Requests().size(), before + (c.signsIn ? 1 : 0));
    EXPECT_EQ(ShownBoxes().size(), static_cast<std::size_t>(normal_.Requests().size()));
  }
}

TEST_F(SignInTest, TabReachesTheSiteChoiceAtTheSelectedSite) {
  Type(Edit1(), u"merovia"_qs);
  Edit2()->setFocus(Qt::TabFocusReason);
  ASSERT_FALSE(RadioGroup1()->isHidden());
  QTest::mouseClick(Child<QRadioButton>("RadioButton2"), Qt::LeftButton);
  ASSERT_TRUE(Button1()->hasFocus());
  QTest::keyClick(Button1(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), u"RadioButton2"_qs);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), u"CheckBox1"_qs);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), u"RadioButton2"_qs);
  // The arrow keys still move the choice inside the group, and Tab follows it.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
  EXPECT_TRUE(Child<QRadioButton>("RadioButton1")->isChecked());
  Button1()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Button1(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget()->objectName(), u"RadioButton1"_qs);
}

TEST_F(SignInTest, TabOrderTakesTheSiteChoiceOnlyWhileItIsShown) {
  const auto tabOrder = [this] {
    QStringList order;
    Edit1()->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 5; ++i) {
      order << QApplication::focusWidget()->objectName();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return order;
  };
  EXPECT_EQ(tabOrder(),
            (QStringList{u"Edit1"_qs, u"Edit2"_qs, u"Button1"_qs, u"CheckBox1"_qs, u"Edit1"_qs}));
  Type(Edit1(), u"merovia"_qs);
  Edit2()->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(tabOrder(), (QStringList{u"Edit1"_qs, u"Edit2"_qs, u"Button1"_qs, u"RadioButton1"_qs,
                                     u"CheckBox1"_qs}));
}

TEST_F(SignInTest, CheckBoxWarnsEachTimeAndSwitchesToTheAlternativeRoute) {
  CheckBox1()->click();
  CheckBox1()->click();
  CheckBox1()->click();
  ASSERT_EQ(ShownBoxes().size(), 2u);
  EXPECT_EQ(ShownBoxes()[0].text, QString::fromUtf16(kMsgRotaAlternativa));
  EXPECT_EQ(ShownBoxes()[1].text, QString::fromUtf16(kMsgRotaAlternativa));

  alternative_->ReplyWithBody("alt;3390");
  Type(Edit1(), u"ana"_qs);
  PressEnterIn(Edit1());
  EXPECT_EQ(alternative_->Requests().size(), 1);
  EXPECT_TRUE(normal_.Requests().isEmpty());
  EXPECT_EQ(Control()->Server(), u"alt"_qs);
  EXPECT_EQ(Control()->AdvancedSettings2()->RDPPort(), 3390);
}

TEST_F(SignInTest, OneTransferServesEveryAttemptSoACookieComesBack) {
  normal_.ReplyWithBody("", "Set-Cookie: route=b7; Path=/\r\n");
  Type(Edit1(), u"ana"_qs);
  PressEnterIn(Edit1());
  PressEnterIn(Edit1());
  const QStringList requests = normal_.Requests();
  ASSERT_EQ(requests.size(), 2);
  EXPECT_FALSE(requests[0].contains(u"Cookie:"_qs));
  EXPECT_TRUE(requests[1].contains(u"\r\nCookie: route=b7\r\n"_qs)) << requests[1].toStdString();
}

}  // namespace
