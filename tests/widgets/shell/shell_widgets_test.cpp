#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "atualiza/frmatualiza.h"
#include "core/errors.h"
#include "createforms.h"
#include "download/frmdownload.h"
#include "login/frmlogin.h"
#include "principal/frmprincipal.h"
#include "shell/application.h"
#include "shell/events.h"
#include "shell/form.h"
#include "shell/timer.h"
#include "testapp.h"

using testing_support::ShownBoxes;
using testing_support::WaitFor;

namespace {

// A stand-in window with one button whose click handler fails the first time.
class TFrmProbe : public TForm {
 public:
  int clicks = 0;
  QPushButton* Button1 = nullptr;

 protected:
  void SetupLayout() override {
    Button1 = new QPushButton(QStringLiteral("Go"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Bind(Button1, &QPushButton::clicked, this, &TFrmProbe::Button1Click);
  }

 private:
  void Button1Click() {
    if (++clicks == 1) throw Exception(QStringLiteral("First click failed"));
  }
};

// Each test that ends an application gets one of its own, so the process-wide one stays usable.
class ScopedApplication {
 public:
  ScopedApplication() : saved_(Application), app_(std::make_unique<TApplication>(u"zentra"_qs)) {}
  ~ScopedApplication() {
    app_.reset();
    Application = saved_;
  }
  TApplication& operator*() { return *app_; }
  TApplication* operator->() { return app_.get(); }

 private:
  TApplication* saved_;
  std::unique_ptr<TApplication> app_;
};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::ClearBoxes(); }
};

TEST_F(ShellTest, StartUpShowsOnlyTheCentredLoginWindowAndCreatesTheOthersHidden) {
  ScopedApplication app;
  CreateApplicationForms();
  ASSERT_EQ(app->MainForm(), FrmLogin);
  app->MainForm()->Show();  // what Run does before its loop

  const struct {
    TForm* form;
    const char16_t* caption;
  } windows[] = {
      {FrmLogin, u"Login Zentra Computing"},
      {FrmPrincipal, u"Zentra Computing - Quorvel"},
      {FrmDownload, u"Download em andamento..."},
      {FrmAjudaImpressao, u"Ajuda para impressão"},
      {FrmAjudaTransferencia, u"Ajuda para transferência de arquivos"},
      {FrmAtualiza, u"Download em andamento..."},
  };
  for (const auto& w : windows) {
    ASSERT_NE(w.form, nullptr);
    EXPECT_EQ(w.form->windowTitle(), QString::fromUtf16(w.caption));
    EXPECT_EQ(w.form->isVisible(), w.form == FrmLogin) << w.form->windowTitle().toStdString();
  }
  const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  // The frame's own margins are only known once it is shown: allow for them.
  EXPECT_LE((FrmLogin->frameGeometry().center() - screenCentre).manhattanLength(), 4);
  app->DestroyForms();
}

TEST_F(ShellTest, FailureInClickTimerAndShowHandlersShowsTheBoxAndTheApplicationGoesOn) {
  ScopedApplication app;
  TFrmProbe* form = nullptr;
  app->CreateForm(form);

  form->Button1->click();
  form->Button1->click();
  EXPECT_EQ(form->clicks, 2);

  int ticks = 0;
  auto& timer = *new TTimer(form, 5);  // owned by the window
  timer.OnTimer = [&ticks] {
    if (++ticks == 1) throw std::runtime_error("tick failed");
  };
  ASSERT_TRUE(WaitFor([&] { return ticks >= 2; }));
  timer.SetEnabled(false);

  form->OnShow = [] { throw Exception(QStringLiteral("show failed:")); };
  form->Show();
  EXPECT_TRUE(form->isVisible());

  ASSERT_EQ(ShownBoxes().size(), 3u);
  EXPECT_EQ(ShownBoxes()[0].text, u"First click failed."_qs);
  EXPECT_EQ(ShownBoxes()[1].text, u"tick failed."_qs);
  EXPECT_EQ(ShownBoxes()[2].text, u"show failed:."_qs);
  for (const auto& box : ShownBoxes()) {
    EXPECT_EQ(box.caption, u"zentra"_qs);
    EXPECT_EQ(box.icon, BoxIcon::Error);
    EXPECT_EQ(box.buttons, QStringList{u"OK"_qs});
  }
  app->DestroyForms();
}

TEST_F(ShellTest, SilentAbortAndEmptyMessages) {
  Dispatch(nullptr, [] { throw EAbort(); });
  EXPECT_TRUE(ShownBoxes().empty());
  Dispatch(nullptr, [] { throw Exception(QString()); });
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, QString());
  EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::Error);
}

TEST_F(ShellTest, ShowModalOnAVisibleWindowFailsWithTheBoxText) {
  ScopedApplication app;
  TFrmProbe* form = nullptr;
  app->CreateForm(form);
  form->Show();
  Dispatch(form, [form] { form->ShowModal(); });
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, u"Cannot make a visible window modal."_qs);
  app->DestroyForms();
}

TEST_F(ShellTest, ModalResultEndsShowModalAndCloseGivesCancel) {
  ScopedApplication app;
  TFrmProbe* main = nullptr;
  TFrmProbe* dialog = nullptr;
  app->CreateForm(main);
  app->CreateForm(dialog);
  main->Show();

  dialog->OnShow = [dialog] {
    ScheduleOnce(1, dialog, [dialog] { dialog->SetModalResult(mrOk); });
  };
  EXPECT_EQ(dialog->ShowModal(), mrOk);
  EXPECT_FALSE(dialog->isVisible());

  dialog->OnShow = [dialog] { ScheduleOnce(1, dialog, [dialog] { dialog->Close(); }); };
  EXPECT_EQ(dialog->ShowModal(), mrCancel);
  EXPECT_FALSE(app->Terminated());
  app->DestroyForms();
}

TEST_F(ShellTest, TerminateEndsNestedModalWindowsInnermostFirstThenTheLoopOnce) {
  ScopedApplication app;
  TFrmProbe* main = nullptr;
  TFrmProbe* help = nullptr;
  TFrmProbe* download = nullptr;
  app->CreateForm(main);
  app->CreateForm(help);
  app->CreateForm(download);

  QStringList order;
  help->OnShow = [&] {
    ScheduleOnce(1, help, [&] {
      order << u"download opened"_qs;
      const int result = download->ShowModal();
      order << QStringLiteral("download ended %1").arg(result);
    });
  };
  download->OnShow = [&] {
    ScheduleOnce(1, download, [&] {
      app->Terminate();
      app->Terminate();  // a second request changes nothing
    });
  };
  ScheduleOnce(1, main, [&] {
    const int result = help->ShowModal();
    order << QStringLiteral("help ended %1").arg(result);
  });
  app->Run();
  order << u"loop ended"_qs;

  EXPECT_EQ(order, (QStringList{u"download opened"_qs, u"download ended 2"_qs, u"help ended 2"_qs,
                                u"loop ended"_qs}));
  EXPECT_TRUE(app->Terminated());
  app->DestroyForms();
}

TEST_F(ShellTest, CloseRuleFollowsTheMainWindowRole) {
  ScopedApplication app;
  TFrmProbe* login = nullptr;
  TFrmProbe* session = nullptr;
  app->CreateForm(login);
  app->CreateForm(session);
  EXPECT_EQ(app->MainForm(), login);

  app->SetMainForm(session);  // what the session window's BecomeMainForm does
  login->Show();
  login->Close();
  app->ProcessMessages();
  EXPECT_FALSE(login->isVisible());
  EXPECT_FALSE(app->Terminated());

  session->Show();
  ScheduleOnce(1, session, [session] { session->Close(); });
  app->Run();
  EXPECT_TRUE(app->Terminated());
  app->DestroyForms();
}

TEST_F(ShellTest, BecomeMainFormHandsOverWithoutShowingAnything) {
  ScopedApplication app;
  CreateApplicationForms();
  FrmPrincipal->BecomeMainForm();
  EXPECT_EQ(app->MainForm(), FrmPrincipal);
  EXPECT_FALSE(FrmPrincipal->isVisible());
  FrmLogin->Show();
  FrmLogin->Close();
  app->ProcessMessages();
  EXPECT_FALSE(FrmLogin->isVisible());
  EXPECT_FALSE(app->Terminated());
  app->DestroyForms();
}

// One taskbar entry: every window but the main one names the main window as its owner (stacked
// above it, no entry of its own), the role follows BecomeMainForm, and minimising the main window
// takes the others with it and restoring brings them back.
TEST_F(ShellTest, OtherWindowsAreOwnedByTheMainWindowAndMinimiseWithIt) {
  ScopedApplication app;
  std::vector<std::pair<WId, bool>> marked;
  SetWindowRoleMark([&](WId window, bool owned) { marked.emplace_back(window, owned); });
  TFrmProbe* login = nullptr;
  TFrmProbe* session = nullptr;
  TFrmProbe* help = nullptr;
  app->CreateForm(login);
  app->CreateForm(session);
  app->CreateForm(help);
  login->Show();
  EXPECT_EQ(login->windowHandle()->transientParent(), nullptr);
  EXPECT_EQ(login->windowType(), Qt::Window);
  EXPECT_EQ(login->windowIconText(), u"zentra"_qs);

  app->SetMainForm(session);
  session->Show();
  login->Hide();
  help->Show();
  EXPECT_EQ(session->windowHandle()->transientParent(), nullptr);
  EXPECT_EQ(help->windowHandle()->transientParent(), session->windowHandle());
  EXPECT_EQ(help->windowType(), Qt::Dialog);
  EXPECT_TRUE(help->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  const std::vector<std::pair<WId, bool>> expected = {
      {login->winId(), false}, {session->winId(), false}, {help->winId(), true}};
  EXPECT_EQ(marked, expected);

  session->setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(help->isMinimized());
  EXPECT_FALSE(login->isMinimized());  // hidden windows stay as they are
  session->setWindowState(Qt::WindowNoState);
  EXPECT_FALSE(help->isMinimized());
  EXPECT_TRUE(help->isVisible());

  // A window minimised by itself is not the main window's to restore.
  help->setWindowState(Qt::WindowMinimized);
  session->setWindowState(Qt::WindowMinimized);
  session->setWindowState(Qt::WindowNoState);
  EXPECT_TRUE(help->isMinimized());
  SetWindowRoleMark({});
  app->DestroyForms();
}

// Windows that note, in one list, when their layouts are loaded.
std::vector<int>& LoadedLayouts() {
  static std::vector<int> loaded;
  return loaded;
}
template <int N>
class TFrmOrdered : public TForm {
 protected:
  void SetupLayout() override { LoadedLayouts().push_back(N); }
};

// At start-up the hidden windows are made at once but load their layouts only after the main
// window's first picture; whatever would need one of them before then loads them all first, in
// their order.
TEST_F(ShellTest, HiddenWindowsLoadTheirLayoutsInOrderOnceTheMainWindowIsUp) {
  enum class Trigger { kFirstPicture, kKeyFirst, kHiddenWindowShown };
  for (const Trigger trigger :
       {Trigger::kFirstPicture, Trigger::kKeyFirst, Trigger::kHiddenWindowShown}) {
    SCOPED_TRACE(static_cast<int>(trigger));
    ScopedApplication app;
    LoadedLayouts().clear();
    app->DeferHiddenFormLayouts();
    TFrmOrdered<1>* main = nullptr;
    TFrmOrdered<2>* second = nullptr;
    TFrmOrdered<3>* third = nullptr;
    app->CreateForm(main);
    app->CreateForm(second);
    app->CreateForm(third);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(LoadedLayouts(), std::vector<int>{1});
    EXPECT_TRUE(app->IsPending(second));

    switch (trigger) {
      case Trigger::kFirstPicture:
        main->Show();
        EXPECT_TRUE(app->IsPending(second));  // not before the picture
        ASSERT_TRUE(WaitFor([] { return LoadedLayouts().size() == 3; }));
        EXPECT_TRUE(main->windowHandle()->isExposed());
        break;
      case Trigger::kKeyFirst: {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, u"a"_qs);
        QCoreApplication::sendEvent(main, &key);
        break;
      }
      case Trigger::kHiddenWindowShown:
        third->Show();
        break;
    }
    EXPECT_EQ(LoadedLayouts(), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(app->IsPending(second));
    EXPECT_FALSE(app->IsPending(third));
    app->DestroyForms();
  }
}

TEST_F(ShellTest, AFailingWindowAtStartUpEndsWithCodeOneAfterTheFatalReport) {
  QProcess probe;
  probe.start(QStringLiteral(STARTUP_FAILURE_PROBE), {});
  ASSERT_TRUE(probe.waitForFinished(30000));
  EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(probe.exitCode(), 1);
  const QString output = QString::fromUtf8(probe.readAllStandardOutput());
  EXPECT_TRUE(output.contains(
      u"Application Error|Exception EInvalidOperation in module startup_failure_probe at "
      "00000000.\nResource TFrmBroken not found."_qs))
      << output.toStdString();
  EXPECT_TRUE(output.contains(u"reference cleared: yes"_qs)) << output.toStdString();
}

}  // namespace
