#include "atualiza/frmatualiza.h"

#include "shell/application.h"
#include "ui_frmatualiza.h"

TFrmAtualiza* FrmAtualiza = nullptr;

TFrmAtualiza::TFrmAtualiza() : TForm(13), ui_(std::make_unique<Ui::TFrmAtualiza>()) {}

TFrmAtualiza::~TFrmAtualiza() = default;

void TFrmAtualiza::SetupLayout() {
  ui_->setupUi(this);
}
