#pragma once

#include <memory>

#include "ajudatransferencia/helpform.h"

namespace Ui {
class TFrmAjudaTransferencia;
}

// The file transfer help: how copying and pasting moves files between this computer and the
// remote desktop, beside its picture.
class TFrmAjudaTransferencia : public THelpForm {
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
