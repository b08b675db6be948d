#include <QThread>

#include "createforms.h"
#include "login/frmlogin.h"
#include "platform/fontwarmup.h"
#include "platform/jpeg.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/fonts.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  // Qt takes the first thread that asks for its thread data (any QObject, a QFile among them)
  // for the main thread. The picture's thread below reads a file before the application exists:
  // this thread asks first, or Qt would treat that short-lived thread as the main one.
  (void)QThread::currentThread();
  // Work that needs no display is done on threads of its own while Qt connects to the X server
  // and builds the application, which keeps the main thread waiting on the server: the font
  // configuration, read by the first text measured, the keyboard layouts, loaded before the
  // first window, and the login window's picture.
  WarmUpFontConfiguration();
  SetFontConfigurationWait(&AwaitFontConfiguration);
  StartReadingBuiltInKeyboardLayouts();
  DecodeJpegAhead(QString::fromUtf16(TFrmLogin::kPicture));
  return RunApplication(argc, argv, CreateApplicationForms);
}
