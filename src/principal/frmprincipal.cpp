#include "principal/frmprincipal.h"

#include "shell/application.h"
#include "ui_frmprincipal.h"

TFrmPrincipal* FrmPrincipal = nullptr;

TFrmPrincipal::TFrmPrincipal() : TForm(13), ui_(std::make_unique<Ui::TFrmPrincipal>()) {}

TFrmPrincipal::~TFrmPrincipal() = default;

void TFrmPrincipal::SetupLayout() {
  ui_->setupUi(this);
}

void TFrmPrincipal::BecomeMainForm() {
  Application->SetMainForm(this);
}
