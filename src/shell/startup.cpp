#include "shell/startup.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLoggingCategory>
#include <QPixmap>
#include <array>
#include <cstdio>
#include <iterator>
#include <thread>

#include "core/errors.h"
#include "shell/application.h"
#include "shell/boxes.h"
#include "shell/commandline.h"
#include "shell/fonts.h"

Q_LOGGING_CATEGORY(lcShell, "zentra.shell", QtWarningMsg)

namespace {

// The platforms tried in turn when the person chose none (QT_QPA_PLATFORM, -platform). On a
// Wayland desktop Qt would take its native Wayland platform whenever qt6-wayland happens to be
// installed, and there a client cannot place a window, keep one on top without taking the focus,
// fade it or stack a modal window over its owner: the connection notice and the help windows
// rely on all of these. XWayland gives them; native Wayland is the fallback for a desktop
// without it.
constexpr char kDesktopFileName[] = "zentra";  // resources/zentra.desktop

constexpr char kPlatformVariable[] = "QT_QPA_PLATFORM";
constexpr char kDefaultPlatforms[] = "xcb;wayland";

bool PlatformChosen(int argc, char** argv) {
  if (!qEnvironmentVariableIsEmpty(kPlatformVariable)) return true;
  for (int i = 1; i < argc; ++i) {
    const QByteArrayView argument(argv[i]);
    if (argument == "-platform" || argument == "--platform") return true;
  }
  return false;
}

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

// The sizes a window's title bar and task list draw. Every window sends each of them to the X
// server when it is made, so the large ones would cost every start; docks and menus take the
// large ones from the installed icon theme through the desktop file name.
constexpr int kIconSizes[] = {16, 32, 48, 64};

// The application icon's pictures, decoded on a thread of their own while the windows are built
// (image readers may run on any thread; pixmaps only on this one), so that the first window does
// not wait for them.
class TIconPictures {
 public:
  TIconPictures()
      : thread_([this] {
          for (std::size_t i = 0; i < std::size(kIconSizes); ++i) {
            QImageReader reader(QStringLiteral(":/icons/zentra-%1.png").arg(kIconSizes[i]), "png");
            images_[i] = reader.read();
          }
        }) {}
  ~TIconPictures() { Wait(); }
  TIconPictures(const TIconPictures&) = delete;
  TIconPictures& operator=(const TIconPictures&) = delete;

  QIcon Take() {
    Wait();
    QIcon icon;
    for (const QImage& image : images_) {
      if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
  }

 private:
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

  std::array<QImage, std::size(kIconSizes)> images_;
  std::thread thread_;  // last: it starts once the pictures' places exist
};

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
  TCommandLineRequest request;
  if (argc > 1) {
    // --help and --version answer without a display: a window-less application object is
    // enough for the parser's texts, and it is gone before the real one connects to X. Without
    // arguments there is nothing to read, and the ordinary start does not pay for it.
    QCoreApplication commandLine(argc, argv);
    request = ParseCommandLine(QCoreApplication::arguments());
  }
  if (request.action == TCommandLineRequest::Action::PrintAndExit) {
    std::fputs(request.output.toLocal8Bit().constData(), stdout);
    return 0;
  }
  ConfineFreeRdpLog();
  if (request.verbose) TurnOnVerboseLogging();

  // Set only while Qt picks its platform: the programs we start (the browser, an installer) make
  // their own choice.
  const bool platformChosen = PlatformChosen(argc, argv);
  if (!platformChosen) qputenv(kPlatformVariable, kDefaultPlatforms);
  GuardedApplication qtApplication(argc, argv);
  if (!platformChosen) qunsetenv(kPlatformVariable);
  qCInfo(lcShell) << "platform" << QGuiApplication::platformName();
  QGuiApplication::setQuitOnLastWindowClosed(false);
  const QString executable = QCoreApplication::applicationFilePath();
  TApplication application(executable);
  QCoreApplication::setApplicationName(application.Title());
  // The menu entry's file: Wayland desktops find the name and icon of the taskbar entry by it.
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
  TIconPictures iconPictures;
  LoadBundledFonts();

  const auto reportFatal = [&](std::exception_ptr failure) {
    application.DestroyForms();
    if (QGuiApplication::windowIcon().isNull()) QGuiApplication::setWindowIcon(iconPictures.Take());
    ShowBox({QString::fromUtf16(kFatalReportCaption),
             FatalStartupReportText(failure, QFileInfo(executable).fileName()),
             BoxIcon::Error,
             {QString::fromUtf16(kOkButton)},
             0});
    return 1;
  };
  // The login window is what the person waits for: the hidden windows load their layouts once it
  // has drawn its first picture.
  application.DeferHiddenFormLayouts();
  try {
    createForms();
  } catch (...) {
    return reportFatal(std::current_exception());
  }
  // Given before any window is mapped: the login window's native window, made with the window,
  // takes it as every window made later does.
  QGuiApplication::setWindowIcon(iconPictures.Take());

  application.Run();
  if (application.StartupFailure()) return reportFatal(application.StartupFailure());
  application.DestroyForms();
  return 0;
}
