#include "shell/application.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QWidget>

#include "core/errors.h"
#include "shell/boxes.h"
#include "shell/form.h"

TApplication* Application = nullptr;

namespace {
const QEvent::Type kQuitEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

QString ApplicationTitleFromPath(const QString& executablePath) {
  QString name = executablePath.mid(executablePath.lastIndexOf(u'/') + 1);
  name = name.left(name.indexOf(u'.') < 0 ? name.size() : name.indexOf(u'.'));
  if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
  return name;
}

TApplication::TApplication(const QString& executablePath)
    : title_(ApplicationTitleFromPath(executablePath)) {
  Application = this;
}

TApplication::~TApplication() {
  DestroyForms();
  if (Application == this) Application = nullptr;
}

void TApplication::Adopt(TForm* form) {
  try {
    form->Construct();
  } catch (...) {
    delete form;
    throw;
  }
  forms_.emplace_back(form);
  if (mainForm_ == nullptr) {
    mainForm_ = form;
    form->winId();  // the main window's native window exists from the start
  }
}

void TApplication::Run() {
  if (mainForm_ != nullptr && !terminated_) mainForm_->Show();
  QEventLoop loop;
  RunModalLoop(loop);
}

void TApplication::Terminate() {
  if (quitPosted_) return;
  quitPosted_ = true;
  QCoreApplication::postEvent(this, new QEvent(kQuitEvent));
}

bool TApplication::event(QEvent* event) {
  if (event->type() == kQuitEvent) {
    terminated_ = true;
    ExitInnermostLoop();
    return true;
  }
  return QObject::event(event);
}

void TApplication::ExitInnermostLoop() {
  if (!loops_.empty()) loops_.back()->exit();
}

void TApplication::RunModalLoop(QEventLoop& loop) {
  if (terminated_) return;
  loops_.push_back(&loop);
  loop.exec();
  loops_.pop_back();
  // The caller of this loop runs on first; the enclosing loop ends after that.
  if (terminated_) {
    QMetaObject::invokeMethod(this, &TApplication::ExitInnermostLoop, Qt::QueuedConnection);
  }
}

void TApplication::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::DestroyForms() {
  while (!forms_.empty()) {
    QPointer<TForm> form = forms_.back();
    forms_.pop_back();
    if (form == mainForm_) mainForm_ = nullptr;
    delete form.data();
  }
  mainForm_ = nullptr;
}

void TApplication::HandleException(QObject* /*sender*/) {
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  const std::exception_ptr failure = std::current_exception();
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  ShowException(failure);
}

void TApplication::ShowException(std::exception_ptr failure) {
  ShowErrorBox(ErrorBoxText(ExceptionMessage(failure)));
}
