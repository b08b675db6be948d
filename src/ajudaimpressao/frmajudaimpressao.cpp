#include "ajudaimpressao/frmajudaimpressao.h"

#include "shell/application.h"
#include "ui_frmajudaimpressao.h"

TFrmAjudaImpressao* FrmAjudaImpressao = nullptr;

TFrmAjudaImpressao::TFrmAjudaImpressao()
    : TForm(13), ui_(std::make_unique<Ui::TFrmAjudaImpressao>()) {}

TFrmAjudaImpressao::~TFrmAjudaImpressao() = default;

void TFrmAjudaImpressao::SetupLayout() {
  ui_->setupUi(this);
}
