#include "createforms.h"

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "login/frmlogin.h"
#include "platform/windowframe.h"
#include "principal/frmprincipal.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/application.h"
#include "shell/form.h"

void CreateApplicationForms() {
  // Windows are sized and centred by their outer rectangle, frame included, before they are
  // first shown: the window manager tells the frame.
  SetWindowFrameSource(&WindowManagerFrame);
  // The on-screen keyboard picks its layout from these; they must be there before any window.
  LoadBuiltInKeyboardLayouts();
  Application->CreateForm(FrmLogin);
  Application->CreateForm(FrmPrincipal);
  CreateFrmDownload();
  Application->CreateForm(FrmAjudaImpressao);
  Application->CreateForm(FrmAjudaTransferencia);
  Application->CreateForm(FrmAtualiza);
}
