#include "shell/boxes.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>

#include "shell/form.h"

#include "shell/application.h"

namespace {

BoxInterceptor& Interceptor() {
  static BoxInterceptor interceptor;
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

void SetBoxInterceptor(BoxInterceptor interceptor) {
  Interceptor() = std::move(interceptor);
}

int ShowBox(const BoxRequest& request) {
  if (Interceptor()) return Interceptor()(request);

  QMessageBox box(ToQt(request.icon), request.caption, request.text);
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
  QEventLoop loop;
  QObject::connect(&box, &QMessageBox::finished, &loop, [&loop] { loop.exit(); });
  box.open();
  if (Application != nullptr) {
    Application->RunModalLoop(loop);
  } else {
    loop.exec();
  }
  const int chosen = buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
  return chosen >= 0 ? chosen : static_cast<int>(buttons.size()) - 1;
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
