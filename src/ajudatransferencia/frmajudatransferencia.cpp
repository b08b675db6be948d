#include "ajudatransferencia/frmajudatransferencia.h"

#include "shell/application.h"
#include "ui_frmajudatransferencia.h"

TFrmAjudaTransferencia* FrmAjudaTransferencia = nullptr;

namespace {

constexpr char kPicture[] = ":/pictures/ajudatransferencia.jpg";

// One entry per line of the text; the double spaces after some full stops and the spaces that
// end some lines belong to the text.
constexpr const char16_t* kMemoLines[] = {
    u"Transferência de arquivos",
    u"",
    u"Para transferir arquivos do seu computador para o Zentra e vice-versa utilize a opção "
    u"Copiar / Colar, ",
    u"como já de costume.  Pode-se utilizar o botão direito do Mouse ou mesmo as teclas de atalho "
    u"do teclado ",
    u"CTRL+C / CTRL+V.",
    u"",
    u"Exemplo:",
    u"- No Zentra copie o arquivo;",
    u"- Minimize o aplicativo do Zentra;",
    u"- Escolha uma pasta em seu computador;",
    u"- Cole o arquivo.",
    u"",
    u"O caminho inverso também funciona (do seu computador para o zentra).",
    u"",
    u"Este recurso pode ser utilizado para um ou mais arquivos ao mesmo tempo.",
    u"",
    u"Observe que trata-se da transferência de arquivos, então pode levar algum tempo até a "
    u"conclusão, ",
    u"variando com o tamanho dos arquivos.",
};

}  // namespace

TFrmAjudaTransferencia::TFrmAjudaTransferencia()
    : THelpForm(kPicture, kMemoLines), ui_(std::make_unique<Ui::TFrmAjudaTransferencia>()) {}

TFrmAjudaTransferencia::~TFrmAjudaTransferencia() = default;

void TFrmAjudaTransferencia::SetupLayout() {
  ui_->setupUi(this);
  SetupHelp(ui_->Image1, ui_->Memo1);
}
