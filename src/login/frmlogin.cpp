#include "login/frmlogin.h"

#include "shell/application.h"
#include "ui_frmlogin.h"

TFrmLogin* FrmLogin = nullptr;

TFrmLogin::TFrmLogin() : TForm(19), ui_(std::make_unique<Ui::TFrmLogin>()) {}

TFrmLogin::~TFrmLogin() = default;

void TFrmLogin::SetupLayout() {
  ui_->setupUi(this);
}
