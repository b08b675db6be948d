#include "ajudaimpressao/frmajudaimpressao.h"

#include <QPushButton>

#include "ajudaimpressao/pdfprintercheck.h"
#include "download/frmdownload.h"
#include "shell/application.h"
#include "shell/boxes.h"
#include "shell/events.h"
#include "ui_frmajudaimpressao.h"

TFrmAjudaImpressao* FrmAjudaImpressao = nullptr;

namespace {

constexpr char kPicture[] = ":/pictures/ajudaimpressao.jpg";

// One entry per line of the text; the double spaces after some full stops, the spaces that end
// some lines and the inner quotes belong to the text.
constexpr const char16_t* kMemoLines[] = {
    u"Impressão de documentos",
    u"",
    u"A impressão através do aplicativo ocorre de maneira direta no seu computador, sem necessitar "
    u"de nenhuma ",
    u"transferência de arquivo.",
    u"",
    u"Entretanto é necessário que esteja instalado o programa PDF Creator na sua máquina.",
    u"",
    u"Para saber se o mesmo está instalado, clique na opção correspondente localizada no rodapé "
    u"desta janela.",
    u"",
    u"Quando estiver tudo correto, ao selecionar a impressora na sua área do Zentra Computing, "
    u"você "
    u"verá uma impressora ",
    u"chamada \"PDF Creator em Sessão\".  Esta é a sua impressora.",
    u"",
    u"Imprima normalmente.  Após alguns segundos, aparecerá uma nova janela com a opção "
    u"\"Salvar\".  Clique e escolha o ",
    u"diretório aonde deseja salvar o arquivo e posteriormente imprimi-lo ou enviá-lo por e-mail.",
};

}  // namespace

TFrmAjudaImpressao::TFrmAjudaImpressao()
    : THelpForm(kPicture, kMemoLines), ui_(std::make_unique<Ui::TFrmAjudaImpressao>()) {}

TFrmAjudaImpressao::~TFrmAjudaImpressao() = default;

void TFrmAjudaImpressao::SetupLayout() {
  ui_->setupUi(this);
  SetupHelp(ui_->Image1, ui_->Memo1);
  Bind(ui_->Button1, &QPushButton::clicked, this, &TFrmAjudaImpressao::Button1Click);
}

void TFrmAjudaImpressao::Button1Click() {
  if (PdfCreatorInstalled()) {
    ShowMessage(QString::fromUtf16(kPdfCreatorInstalledMessage));
    return;
  }
  const int answer = ShowBox({QString::fromUtf16(kConfirmCaption),
                              QString::fromUtf16(kInstallPdfCreatorQuestion),
                              BoxIcon::Information,
                              {QString::fromUtf16(kYesButton), QString::fromUtf16(kNoButton)},
                              0});
  if (answer != 0) return;

  CreateFrmDownload();
  // The window is this handler's own: destroy it however its modal show ends, and leave no
  // reference to a destroyed window behind.
  struct Release {
    ~Release() {
      delete FrmDownload;
      FrmDownload = nullptr;
    }
  } release;
  FrmDownload->ShowModal();
}
