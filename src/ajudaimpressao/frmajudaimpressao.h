#pragma once

#include <memory>

#include "shell/form.h"

class QShowEvent;

namespace Ui {
class TFrmAjudaImpressao;
}

// The printing help: a picture on the left, a fixed read-only text on the right and, along the
// bottom, the button that checks for the PDF printer and offers to install it. Created once at
// start-up and opened modally from the session window's toolbar; every opening shows it centred
// in the work area with the text panel focused.
class TFrmAjudaImpressao : public TForm {
  Q_OBJECT

 public:
  TFrmAjudaImpressao();
  ~TFrmAjudaImpressao() override;

  // The PDF printer check: a message when it is installed; otherwise, when the user agrees, a
  // fresh download window fetches and starts its installer while this window waits.
  void Button1Click();

 protected:
  void SetupLayout() override;
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::TFrmAjudaImpressao> ui_;
};

extern TFrmAjudaImpressao* FrmAjudaImpressao;
