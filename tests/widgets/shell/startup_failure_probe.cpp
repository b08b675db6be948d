// Starts the application with a window whose layout fails to load. The fatal report that would be
// shown in a box is printed on standard output instead, so a test can read it.
#include <cstdio>

#include "core/errors.h"
#include "shell/application.h"
#include "shell/boxes.h"
#include "shell/form.h"
#include "shell/startup.h"

namespace {

class TFrmBroken : public TForm {
 protected:
  void SetupLayout() override {
    throw EInvalidOperation(QStringLiteral("Resource TFrmBroken not found"));
  }
};

class TFrmFine : public TForm {};

TFrmFine* FrmFine = nullptr;
TFrmBroken* FrmBroken = nullptr;

}  // namespace

int main(int argc, char** argv) {
  SetBoxInterceptor([](const TBoxRequest& box) {
    std::printf("%s|%s\n", qPrintable(box.caption), qPrintable(box.text));
    return 0;
  });
  const int code = RunApplication(argc, argv, [] {
    Application->CreateForm(FrmFine);
    Application->CreateForm(FrmBroken);
  });
  std::printf("reference cleared: %s\n", FrmBroken == nullptr ? "yes" : "no");
  return code;
}
