#pragma once

#include <memory>

#include "ajudatransferencia/helpform.h"

namespace Ui {
class TFrmAjudaImpressao;
}

// The printing help: its picture and text and, along the bottom, the button that checks for the
// PDF printer and offers to install it.
class TFrmAjudaImpressao : public THelpForm {
  Q_OBJECT

 public:
  TFrmAjudaImpressao();
  ~TFrmAjudaImpressao() override;

  // The PDF printer check: a message when it is installed; otherwise, when the user agrees, a
  // fresh download window fetches and starts its installer while this window waits.
  void Button1Click();

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmAjudaImpressao> ui_;
};

extern TFrmAjudaImpressao* FrmAjudaImpressao;
