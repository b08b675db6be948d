#include "createforms.h"

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "login/frmlogin.h"
#include "principal/frmprincipal.h"
#include "shell/application.h"

void CreateApplicationForms() {
  Application->CreateForm(FrmLogin);
  Application->CreateForm(FrmPrincipal);
  Application->CreateForm(FrmDownload);
  Application->CreateForm(FrmAjudaImpressao);
  Application->CreateForm(FrmAjudaTransferencia);
  Application->CreateForm(FrmAtualiza);
}
