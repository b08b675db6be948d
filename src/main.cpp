#include "createforms.h"
#include "platform/fontwarmup.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/fonts.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  // Work that needs no display is done on threads of its own while Qt connects to the X server
  // and builds the application, which keeps the main thread waiting on the server: the font
  // configuration, read by the first text measured, and the keyboard layouts, loaded before the
  // first window.
  WarmUpFontConfiguration();
  SetFontConfigurationWait(&AwaitFontConfiguration);
  StartReadingBuiltInKeyboardLayouts();
  return RunApplication(argc, argv, CreateApplicationForms);
}
