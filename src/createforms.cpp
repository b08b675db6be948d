#include "createforms.h"

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "login/frmlogin.h"
#include "principal/frmprincipal.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/application.h"

void CreateApplicationForms() {
  // The on-screen keyboard picks its layout from these; they must be there before any window.
  LoadBuiltInKeyboardLayouts();
  Application->CreateForm(FrmLogin);
  Application->CreateForm(FrmPrincipal);
  CreateFrmDownload();
  Application->CreateForm(FrmAjudaImpressao);
  Application->CreateForm(FrmAjudaTransferencia);
  Application->CreateForm(FrmAtualiza);
}
