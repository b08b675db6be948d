#include "createforms.h"

#include <QTimer>
#include <chrono>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "login/frmlogin.h"
#include "platform/windowframe.h"
#include "principal/frmprincipal.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/rdpsessionloader.h"
#include "shell/application.h"
#include "shell/form.h"

namespace {
// Long enough for the login window to be drawn first, short against a person typing a name.
constexpr std::chrono::milliseconds kRdpPreloadDelay(1000);
}  // namespace

void CreateApplicationForms() {
  // Windows are sized and centred by their outer rectangle, frame included, before they are
  // first shown: the window manager tells the frame.
  SetWindowFrameSource(&WindowManagerFrame);
  // One taskbar entry for the application, labelled with its title.
  SetWindowRoleMark(&MarkWindowRole);
  // The on-screen keyboard picks its layout from these; they must be there before any window.
  LoadBuiltInKeyboardLayouts();
  Application->CreateForm(FrmLogin);
  Application->CreateForm(FrmPrincipal);
  CreateFrmDownload();
  Application->CreateForm(FrmAjudaImpressao);
  Application->CreateForm(FrmAjudaTransferencia);
  Application->CreateForm(FrmAtualiza);
  // FreeRDP is loaded once the login window is up and the person is typing, so that neither the
  // start nor the first connection waits for it.
  QTimer::singleShot(kRdpPreloadDelay, [] { PreloadRdpSessionLibrary(); });
}
