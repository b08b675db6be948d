// The two help windows as a person sees them: texts, picture, layout, focus and placement.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "download/frmdownload.h"
#include "shell/application.h"
#include "shell/timer.h"
#include "testapp.h"

namespace {

using testing_support::WaitFor;

// The texts line for line, trailing spaces and double spaces included.
const char kTransferText[] = R"TEXT(Transferência de arquivos

Para transferir arquivos do seu computador para o Zentra e vice-versa utilize a opção Copiar / Colar, 
como já de costume.  Pode-se utilizar o botão direito do Mouse ou mesmo as teclas de atalho do teclado 
CTRL+C / CTRL+V.

Exemplo:
- No Zentra copie o arquivo;
- Minimize o aplicativo do Zentra;
- Escolha uma pasta em seu computador;
- Cole o arquivo.

O caminho inverso também funciona (do seu computador para o zentra).

Este recurso pode ser utilizado para um ou mais arquivos ao mesmo tempo.

Observe que trata-se da transferência de arquivos, então pode levar algum tempo até a conclusão, 
variando com o tamanho dos arquivos.)TEXT";
const char kPrintingText[] = R"TEXT(Impressão de documentos

A impressão através do aplicativo ocorre de maneira direta no seu computador, sem necessitar de nenhuma 
transferência de arquivo.

Entretanto é necessário que esteja instalado o programa PDF Creator na sua máquina.

Para saber se o mesmo está instalado, clique na opção correspondente localizada no rodapé desta janela.

Quando estiver tudo correto, ao selecionar a impressora na sua área do Zentra Computing, você verá uma impressora 
chamada "PDF Creator em Sessão".  Esta é a sua impressora.

Imprima normalmente.  Após alguns segundos, aparecerá uma nova janela com a opção "Salvar".  Clique e escolha o 
diretório aonde deseja salvar o arquivo e posteriormente imprimi-lo ou enviá-lo por e-mail.)TEXT";

struct HelpWindow {
  const char* name;
  TForm* (*create)();
  QString caption;
  QSize client;
  int pictureWidth;
  QSize pictureSize;
  const char* text;
};

void PrintTo(const HelpWindow& w, std::ostream* out) {
  *out << w.name;
}

TForm* CreateTransfer() {
  Application->CreateForm(FrmAjudaTransferencia);
  return FrmAjudaTransferencia;
}
TForm* CreatePrinting() {
  Application->CreateForm(FrmAjudaImpressao);
  return FrmAjudaImpressao;
}

const HelpWindow kWindows[] = {
    {"transfer", CreateTransfer, QStringLiteral("Ajuda para transferência de arquivos"),
     QSize(912, 261), 400, QSize(400, 266), kTransferText},
    {"printing", CreatePrinting, QStringLiteral("Ajuda para impressão"), QSize(912, 397), 326,
     QSize(326, 400), kPrintingText},
};

class HelpWindowTest : public ::testing::TestWithParam<HelpWindow> {
 protected:
  void SetUp() override {
    form_ = GetParam().create();
    ASSERT_NE(form_, nullptr);
    // The windows under test are never the main window, as in the program.
    Application->SetMainForm(nullptr);
    memo_ = form_->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    image_ = form_->findChild<QLabel*>(QStringLiteral("Image1"));
    ASSERT_NE(memo_, nullptr);
    ASSERT_NE(image_, nullptr);
  }
  void TearDown() override { testing_support::ClearBoxes(); }

  // Shows the window modally, runs `inside` once it is up, then closes it.
  void WhileShownModally(const std::function<void()>& inside) {
    bool ran = false;
    ScheduleOnce(0, form_, [&] {
      inside();
      ran = true;
      form_->Close();
    });
    EXPECT_EQ(form_->ShowModal(), mrCancel);
    EXPECT_TRUE(ran);
    EXPECT_FALSE(form_->isVisible());
  }

  [[nodiscard]] QPoint WorkAreaCentre() const {
    return QGuiApplication::primaryScreen()->availableGeometry().center();
  }

  TForm* form_ = nullptr;
  QPlainTextEdit* memo_ = nullptr;
  QLabel* image_ = nullptr;
};

TEST_P(HelpWindowTest, DeclaredLayoutTextAndPicture) {
  const HelpWindow& w = GetParam();
  EXPECT_EQ(form_->windowTitle(), w.caption);
  EXPECT_EQ(form_->size(), w.client);
  EXPECT_EQ(form_->font().family(), QStringLiteral("Tahoma"));
  EXPECT_EQ(form_->palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_EQ(memo_->toPlainText(), QString::fromUtf8(w.text));
  EXPECT_TRUE(memo_->isReadOnly());
  EXPECT_EQ(memo_->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(image_->alignment(), Qt::AlignLeft | Qt::AlignTop);
  EXPECT_FALSE(image_->hasScaledContents());
  // The picture is there whenever the window is open (it is decoded at the first opening).
  WhileShownModally([&] { EXPECT_EQ(image_->pixmap().size(), w.pictureSize); });
  WhileShownModally([&] { EXPECT_EQ(image_->pixmap().size(), w.pictureSize); });
}

TEST_P(HelpWindowTest, PictureKeepsItsWidthAndTextTakesTheRestAtAnySize) {
  const HelpWindow& w = GetParam();
  WhileShownModally([&] {
    for (const QSize size : {w.client, QSize(1300, 700), QSize(700, 150), QSize(500, 60)}) {
      SCOPED_TRACE(size.width());
      form_->resize(size);
      QApplication::processEvents();
      const int bottom = w.pictureWidth == 326 ? form_->height() - 25 : form_->height();
      EXPECT_EQ(image_->geometry(), QRect(0, 0, w.pictureWidth, bottom));
      EXPECT_EQ(memo_->geometry(),
                QRect(w.pictureWidth, 0, form_->width() - w.pictureWidth, bottom));
      // No scroll bars, however little room the text has.
      EXPECT_FALSE(memo_->verticalScrollBar()->isVisible());
      EXPECT_FALSE(memo_->horizontalScrollBar()->isVisible());
      if (auto* button = form_->findChild<QPushButton*>(QStringLiteral("Button1"))) {
        EXPECT_EQ(button->geometry(), QRect(0, form_->height() - 25, form_->width(), 25));
      }
    }
  });
}

TEST_P(HelpWindowTest, TypingChangesNothingAndCopyingWorks) {
  const QString text = QString::fromUtf8(GetParam().text);
  WhileShownModally([&] {
    EXPECT_TRUE(WaitFor([&] { return memo_->hasFocus(); }, 2000));
    QTest::keyClicks(memo_, QStringLiteral("abc"));
    QTest::keyClick(memo_, Qt::Key_Backspace);
    QTest::keyClick(memo_, Qt::Key_Return);
    QTest::keyClick(memo_, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(memo_->toPlainText(), text);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(memo_, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(memo_, Qt::Key_C, Qt::ControlModifier);
    // Copying hands out paragraph separators between lines; the text itself is unchanged.
    QString copied = QGuiApplication::clipboard()->text();
    copied.replace(QChar::ParagraphSeparator, u'\n');
    EXPECT_EQ(copied, text);
  });
}

TEST_P(HelpWindowTest, CentredInTheWorkAreaAtEveryOpening) {
  for (int opening = 0; opening < 2; ++opening) {
    SCOPED_TRACE(opening);
    WhileShownModally([&] {
      EXPECT_LE((form_->frameGeometry().center() - WorkAreaCentre()).manhattanLength(), 2);
      // The offscreen platform does not activate a window shown again, so look at the window's
      // own focus widget: the one that takes the keys when the window is active.
      EXPECT_EQ(form_->focusWidget(), memo_);
      // Leave the focus elsewhere; the next opening puts it back on the text.
      if (auto* button = form_->findChild<QPushButton*>(QStringLiteral("Button1"))) {
        button->setFocus();
      }
      form_->move(5, 7);
      form_->resize(600, 200);
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Both, HelpWindowTest, ::testing::ValuesIn(kWindows),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(PrintingHelp, TabReachesTheButtonWhichWorksFromTheKeyboard) {
  // No printer service answers here: the list is empty and the check asks to install.
  qputenv("CUPS_SERVER", "/nonexistent/zentra-test/cups.sock");
  Application->CreateForm(FrmAjudaImpressao);
  Application->SetMainForm(nullptr);
  auto* memo = FrmAjudaImpressao->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  auto* button = FrmAjudaImpressao->findChild<QPushButton*>(QStringLiteral("Button1"));
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(),
            QStringLiteral("Verificar se o PDF Creator está instalado no meu computador"));
  TFrmDownload* const before = FrmDownload;
  testing_support::ClearBoxes();
  testing_support::AnswerNextBox(1);  // "&No"
  ScheduleOnce(0, FrmAjudaImpressao, [&] {
    if (WaitFor([&] { return memo->hasFocus(); }, 2000)) {
      QTest::keyClick(memo, Qt::Key_Tab);
      EXPECT_TRUE(button->hasFocus());
      QTest::keyClick(button, Qt::Key_Space);
      QTest::keyClick(button, Qt::Key_Tab, Qt::ShiftModifier);
      EXPECT_TRUE(memo->hasFocus());
    } else {
      ADD_FAILURE() << "the text panel never had the focus";
    }
    FrmAjudaImpressao->Close();
  });
  FrmAjudaImpressao->ShowModal();
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  EXPECT_EQ(testing_support::ShownBoxes()[0].caption, QStringLiteral("Confirm"));
  EXPECT_EQ(FrmDownload, before);
}

}  // namespace
