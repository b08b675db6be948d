#include "shell/startup.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <cstdio>

#include "core/errors.h"
#include "shell/application.h"
#include "shell/boxes.h"
#include "shell/commandline.h"
#include "shell/fonts.h"

namespace {

// Every exception that escapes an event Qt delivers ends in the default error box, as the
// message loop's own catch-all; the binding helper catches earlier, this is the last line.
class GuardedApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      if (Application != nullptr) Application->HandleException(receiver);
      return false;
    }
  }
};

QIcon ApplicationIcon() {
  // The sizes a window's title bar and task list draw. Every window sends each of them to the X
  // server when it is made, so the large ones would cost every start; docks and menus take the
  // large ones from the installed icon theme through the desktop file name.
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    icon.addFile(QStringLiteral(":/icons/zentra-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

QString MessageWithPeriod(const QString& message) {
  return message.endsWith(u'.') ? message : message + u'.';
}

}  // namespace

QString FatalStartupReportText(std::exception_ptr failure, const QString& module) {
  // Linux has no module-relative fault address to report here; the report keeps its shape.
  return QStringLiteral("Exception %1 in module %2 at 00000000.\n%3")
      .arg(ExceptionKind(failure), module, MessageWithPeriod(ExceptionMessage(failure)));
}

int RunApplication(int& argc, char** argv, const std::function<void()>& createForms) {
  QCoreApplication::setApplicationVersion(QStringLiteral(ZENTRA_VERSION));
  CommandLineRequest request;
  {
    // --help and --version answer without a display: a window-less application object is
    // enough for the parser's texts, and it is gone before the real one connects to X.
    QCoreApplication commandLine(argc, argv);
    request = ParseCommandLine(QCoreApplication::arguments());
  }
  if (request.action == CommandLineRequest::Action::PrintAndExit) {
    std::fputs(request.output.toLocal8Bit().constData(), stdout);
    return 0;
  }
  ConfineFreeRdpLog();
  if (request.verbose) TurnOnVerboseLogging();

  GuardedApplication qtApplication(argc, argv);
  QGuiApplication::setQuitOnLastWindowClosed(false);
  const QString executable = QCoreApplication::applicationFilePath();
  TApplication application(executable);
  QCoreApplication::setApplicationName(application.Title());
  QGuiApplication::setDesktopFileName(application.Title());
  QGuiApplication::setWindowIcon(ApplicationIcon());
  LoadBundledFonts();

  try {
    createForms();
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    application.DestroyForms();
    ShowBox({QString::fromUtf16(kFatalReportCaption),
             FatalStartupReportText(failure, QFileInfo(executable).fileName()),
             BoxIcon::Error,
             {QString::fromUtf16(kOkButton)},
             0});
    return 1;
  }

  application.Run();
  application.DestroyForms();
  return 0;
}
