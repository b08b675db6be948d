#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmAjudaTransferencia;
}

class TFrmAjudaTransferencia : public TForm {
  Q_OBJECT

 public:
  TFrmAjudaTransferencia();
  ~TFrmAjudaTransferencia() override;

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmAjudaTransferencia> ui_;
};

extern TFrmAjudaTransferencia* FrmAjudaTransferencia;
