#include "shell/boxes.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>

#include "shell/form.h"

#include "shell/application.h"

namespace {

TBoxInterceptor& Interceptor() {
  static TBoxInterceptor interceptor;
  return interceptor;
}

QMessageBox::Icon ToQt(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::None:
      return QMessageBox::NoIcon;
    case BoxIcon::Information:
      return QMessageBox::Information;
    case BoxIcon::Question:
      return QMessageBox::Question;
    case BoxIcon::Warning:
      return QMessageBox::Warning;
    case BoxIcon::Error:
      return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void SetBoxInterceptor(TBoxInterceptor interceptor) {
  Interceptor() = std::move(interceptor);
}

namespace {

// The message box of a request, its buttons in the request's order.
QList<QPushButton*> SetUpBox(QMessageBox& box, const TBoxRequest& request) {
  box.setIcon(ToQt(request.icon));
  box.setWindowTitle(request.caption);
  box.setText(request.text);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  QList<QPushButton*> buttons;
  for (const QString& caption : request.buttons) {
    buttons.append(box.addButton(caption, QMessageBox::AcceptRole));
  }
  if (!buttons.isEmpty()) {
    box.setDefaultButton(buttons.value(request.defaultButton, buttons.front()));
    box.setEscapeButton(buttons.back());
  }
  // Above the main window and without a taskbar entry of its own, as the other owned windows.
  MakeOwnedWindow(box);
  return buttons;
}

int ChosenButton(const QMessageBox& box, const QList<QPushButton*>& buttons) {
  const int chosen = buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
  return chosen >= 0 ? chosen : static_cast<int>(buttons.size()) - 1;
}

}  // namespace

TOpenBox::TOpenBox(const TBoxRequest& request, std::function<void(int)> answered)
    : answered_(std::move(answered)), self_(std::make_shared<TOpenBox*>(this)) {
  if (Interceptor()) {
    const int answer = Interceptor()(request);
    // As a person would: later, from the event loop.
    QMetaObject::invokeMethod(
        qApp,
        [weak = std::weak_ptr<TOpenBox*>(self_), answer] {
          if (const auto self = weak.lock()) (*self)->Deliver(answer);
        },
        Qt::QueuedConnection);
    return;
  }
  box_ = new QMessageBox();
  box_->setAttribute(Qt::WA_DeleteOnClose);
  const QList<QPushButton*> buttons = SetUpBox(*box_, request);
  QObject::connect(box_.data(), &QMessageBox::finished, box_.data(),
                   [this, box = box_.data(), buttons] { Deliver(ChosenButton(*box, buttons)); });
  box_->open();
}

TOpenBox::~TOpenBox() {
  Close();
}

void TOpenBox::Close() {
  if (!open_) return;
  open_ = false;
  if (box_) {
    // Unanswered: the box goes without a word to the caller.
    QObject::disconnect(box_.data(), &QMessageBox::finished, nullptr, nullptr);
    box_->close();
  }
}

void TOpenBox::Deliver(int index) {
  if (!open_) return;
  open_ = false;
  // The handler may end this handle; keep what it needs.
  auto answered = std::move(answered_);
  if (answered) answered(index);
}

int ShowBox(const TBoxRequest& request) {
  if (Interceptor()) return Interceptor()(request);

  QMessageBox box;
  const QList<QPushButton*> buttons = SetUpBox(box, request);
  QEventLoop loop;
  QObject::connect(&box, &QMessageBox::finished, &loop, [&loop] { loop.exit(); });
  box.open();
  if (Application != nullptr) {
    Application->RunModalLoop(loop);
  } else {
    loop.exec();
  }
  return ChosenButton(box, buttons);
}

void ShowMessage(const QString& text) {
  ShowBox({Application ? Application->Title() : QString(),
           text,
           BoxIcon::None,
           {QString::fromUtf16(kOkButton)},
           0});
}

void ShowErrorBox(const QString& text) {
  ShowBox({Application ? Application->Title() : QString(),
           text,
           BoxIcon::Error,
           {QString::fromUtf16(kOkButton)},
           0});
}
