#include "shell/application.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>

#include "core/errors.h"
#include "shell/boxes.h"
#include "shell/form.h"

TApplication* Application = nullptr;

namespace {
const QEvent::Type kQuitEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// The hidden windows' layouts wait for the main window's first picture, but never longer than
// this: a desktop that keeps the window unexposed (started minimised, another workspace) still
// gets them soon.
constexpr std::chrono::milliseconds kPendingLayoutLimit(500);

// What a person does to the application: before any of it is handled, every window is complete.
bool IsInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
    case QEvent::Close:
      return true;
    default:
      return false;
  }
}

}  // namespace

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

void TApplication::Adopt(TForm* form, std::function<void()> clearReference) {
  if (deferring_ && mainForm_ != nullptr) {
    forms_.emplace_back(form);
    pending_.push_back({form, std::move(clearReference)});
    return;
  }
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

void TApplication::DeferHiddenFormLayouts() {
  if (deferring_ || QCoreApplication::instance() == nullptr) return;
  deferring_ = true;
  QCoreApplication::instance()->installEventFilter(this);
  QTimer::singleShot(kPendingLayoutLimit, this, &TApplication::ConstructPendingForms);
}

void TApplication::StopDeferring() {
  if (!deferring_) return;
  deferring_ = false;
  if (QCoreApplication::instance() != nullptr)
    QCoreApplication::instance()->removeEventFilter(this);
}

bool TApplication::IsPending(const TForm* form) const {
  return std::any_of(pending_.begin(), pending_.end(),
                     [form](const PendingForm& pending) { return pending.form == form; });
}

void TApplication::ConstructPendingForms() {
  StopDeferring();
  while (!pending_.empty() && !startupFailure_) {
    PendingForm next = std::move(pending_.front());
    pending_.erase(pending_.begin());
    if (next.form == nullptr) continue;
    try {
      next.form->Construct();
    } catch (...) {
      // As a failure while the windows are created: the application ends with the report. The
      // window stays owned, without its layout, until DestroyForms.
      startupFailure_ = std::current_exception();
      next.clearReference();
      pending_.clear();
      Terminate();
    }
  }
}

bool TApplication::eventFilter(QObject* watched, QEvent* event) {
  if (deferring_) {
    if (event->type() == QEvent::Expose && mainForm_ != nullptr &&
        watched == mainForm_->windowHandle() && mainForm_->windowHandle()->isExposed()) {
      // The main window paints while this event is delivered; the layouts come right after.
      QMetaObject::invokeMethod(this, &TApplication::ConstructPendingForms, Qt::QueuedConnection);
    } else if (IsInput(event->type())) {
      ConstructPendingForms();
      if (startupFailure_) return true;
    }
  }
  return QObject::eventFilter(watched, event);
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
  StopDeferring();
  pending_.clear();
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
