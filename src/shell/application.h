#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <exception>
#include <functional>
#include <vector>

class QEventLoop;
class TForm;

// The application object: title, main window, the windows it owns, the message loop and its
// nested modal loops, and the default error box. One per process, reached through Application.
class TApplication : public QObject {
  Q_OBJECT

 public:
  explicit TApplication(const QString& executablePath);
  ~TApplication() override;

  [[nodiscard]] const QString& Title() const { return title_; }
  [[nodiscard]] TForm* MainForm() const { return mainForm_; }
  // Hands the main-window role to another window; nothing is shown, hidden or re-created.
  void SetMainForm(TForm* form) { mainForm_ = form; }
  [[nodiscard]] bool Terminated() const { return terminated_; }
  // The windows it owns, oldest first.
  [[nodiscard]] const std::vector<QPointer<TForm>>& Forms() const { return forms_; }

  // Creates a window owned by the application. The reference holds the window before its layout
  // is loaded, and is cleared again when loading fails. The first window becomes MainForm.
  template <typename Form>
  void CreateForm(Form*& reference) {
    auto* form = new Form();
    reference = form;
    try {
      Adopt(form, [&reference, form] {
        if (reference == form) reference = nullptr;
      });
    } catch (...) {
      reference = nullptr;
      throw;
    }
  }

  // From here until the main window has drawn its first picture, windows created after the main
  // window are made at once, in their order, but load their layouts only then: nobody sees a
  // hidden window, and the main window is not kept waiting for them. Input that reaches the
  // application first, or a waiting window being shown, loads them before anything else happens.
  // The references given to CreateForm meanwhile must outlive the start.
  void DeferHiddenFormLayouts();
  [[nodiscard]] bool IsPending(const TForm* form) const;
  // Loads the layouts still waiting, oldest first. A failure ends the application: Run returns
  // and StartupFailure holds it, the failed window destroyed and its reference cleared.
  void ConstructPendingForms();
  [[nodiscard]] std::exception_ptr StartupFailure() const { return startupFailure_; }

  // Shows the main window and runs the message loop until Terminate.
  void Run();
  // Asks the application to end: one quit message, however often it is called.
  void Terminate();
  // Dispatches every waiting event (paint, input, timers), then returns.
  void ProcessMessages();
  // Destroys the owned windows, newest first.
  void DestroyForms();

  // Reports the failure being handled (call from a catch block); EAbort stays silent.
  void HandleException(QObject* sender);
  void ShowException(std::exception_ptr failure);

  // Runs a nested loop until it is exited; a Terminate ends the innermost loop first and then,
  // once its caller's code has run on, each enclosing one.
  void RunModalLoop(QEventLoop& loop);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct PendingForm {
    QPointer<TForm> form;
    std::function<void()> clearReference;
  };

  void Adopt(TForm* form, std::function<void()> clearReference);
  void ExitInnermostLoop();
  void StopDeferring();

  QString title_;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  bool quitPosted_ = false;
  std::vector<QPointer<TForm>> forms_;
  std::vector<QEventLoop*> loops_;
  bool deferring_ = false;
  std::vector<PendingForm> pending_;
  std::exception_ptr startupFailure_;
};

extern TApplication* Application;

// "CLIENT.EXE" -> "Client", "client.new.exe" -> "client": the file name, cut at its first ".",
// lower case after the first character.
[[nodiscard]] QString ApplicationTitleFromPath(const QString& executablePath);
