#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmPrincipal;
}

class TFrmPrincipal : public TForm {
  Q_OBJECT

 public:
  TFrmPrincipal();
  ~TFrmPrincipal() override;

  // Makes this window the application's main window; nothing is shown, hidden or re-created.
  void BecomeMainForm();

 protected:
  [[nodiscard]] bool CentredAtCreation() const override { return false; }
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmPrincipal> ui_;
};

extern TFrmPrincipal* FrmPrincipal;
