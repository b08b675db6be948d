#include "ajudatransferencia/frmajudatransferencia.h"

#include "shell/application.h"
#include "ui_frmajudatransferencia.h"

TFrmAjudaTransferencia* FrmAjudaTransferencia = nullptr;

TFrmAjudaTransferencia::TFrmAjudaTransferencia()
    : TForm(13), ui_(std::make_unique<Ui::TFrmAjudaTransferencia>()) {}

TFrmAjudaTransferencia::~TFrmAjudaTransferencia() = default;

void TFrmAjudaTransferencia::SetupLayout() {
  ui_->setupUi(this);
}
