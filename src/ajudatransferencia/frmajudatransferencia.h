#pragma once

#include <memory>

#include "shell/form.h"

class QShowEvent;

namespace Ui {
class TFrmAjudaTransferencia;
}

// The file transfer help: a picture on the left and a fixed, read-only text on the right.
// Created once at start-up and opened modally from the session window's toolbar; every opening
// shows it centred in the work area with the text panel focused.
class TFrmAjudaTransferencia : public TForm {
  Q_OBJECT

 public:
  TFrmAjudaTransferencia();
  ~TFrmAjudaTransferencia() override;

 protected:
  void SetupLayout() override;
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::TFrmAjudaTransferencia> ui_;
};

extern TFrmAjudaTransferencia* FrmAjudaTransferencia;
