// The PDF printer check against a real CUPS scheduler of the test's own. Every test runs in a
// process of its own, so each starts with the printer list not yet taken.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudaimpressao/pdfprintercheck.h"
#include "cupsscheduler.h"
#include "download/frmdownload.h"
#include "shell/application.h"
#include "shell/timer.h"
#include "testapp.h"

namespace {

using testing_support::ShownBoxes;

const QString kConfirmText = QString::fromUtf8(
    "Para que as suas impressões funcionem é necessário instalar o PDF Creator.\r"
    "Através dele todas as impressões serão salvas diretamente no seu computador.\r"
    "Caso não seja instalado, não será possível imprimir.\r"
    "Deseja instalar?");
const QString kInstalled = QString::fromUtf8("O PDF Creator está instalado corretamente");

class PrinterCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cups_.Start()) << cups_.Error().toStdString();
    testing_support::ClearBoxes();
    // As at start-up: a download window exists, hidden, before the printing help is created.
    CreateFrmDownload();
    Application->CreateForm(FrmAjudaImpressao);
    Application->SetMainForm(nullptr);
    startupDownload_ = FrmDownload;
  }
  void AddQueues(std::initializer_list<const char*> names) {
    for (const char* name : names) ASSERT_TRUE(cups_.AddQueue(QString::fromLatin1(name))) << name;
  }
  void Click() { FrmAjudaImpressao->findChild<QPushButton*>(QStringLiteral("Button1"))->click(); }
  void ExpectConfirmation(const TBoxRequest& box) {
    EXPECT_EQ(box.caption, QStringLiteral("Confirm"));
    EXPECT_EQ(box.text, kConfirmText);
    EXPECT_EQ(box.text.size(), 221);
    EXPECT_EQ(box.buttons, (QStringList{QStringLiteral("&Yes"), QStringLiteral("&No")}));
    EXPECT_EQ(box.defaultButton, 0);
  }

  TestCupsScheduler cups_;
  TFrmDownload* startupDownload_ = nullptr;
};

class FoundTest : public PrinterCheckTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FoundTest, TheWordInAnyLetterCaseIsInstalled) {
  AddQueues({"Office", GetParam()});
  Click();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, kInstalled);
  EXPECT_EQ(ShownBoxes()[0].caption, Application->Title());
  EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::None);
  EXPECT_EQ(FrmDownload, startupDownload_);
}

INSTANTIATE_TEST_SUITE_P(Names, FoundTest,
                         ::testing::Values("PDFCreator", "pdfcreator", "PDFCREATOR", "pDfCrEaToR"));

TEST_F(PrinterCheckTest, NearNamesAreNotTheOneAndNoChangesNothing) {
  AddQueues({"PDF-Creator", "pdfcreator_2", "PDFCreator2"});
  testing_support::AnswerNextBox(1);
  Click();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  ExpectConfirmation(ShownBoxes()[0]);
  EXPECT_EQ(FrmDownload, startupDownload_);
}

TEST_F(PrinterCheckTest, YesOpensAFreshDownloadWindowModallyOverTheHelpWindow) {
  AddQueues({"PDF-Creator"});
  struct Seen {
    TFrmDownload* window = nullptr;
    bool modal = false;
    bool helpStillOpen = false;
  } seen;
  // Inside the help window's modal show: press the button, and once the download window is up,
  // look at it and close it before its start delay is over.
  ScheduleOnce(0, FrmAjudaImpressao, [&] {
    ScheduleOnce(50, FrmAjudaImpressao, [&] {
      seen.window = FrmDownload;
      seen.modal = FrmDownload != startupDownload_ && FrmDownload->IsModal() &&
                   FrmDownload->isVisible() && QApplication::activeModalWidget() == FrmDownload;
      seen.helpStillOpen = FrmAjudaImpressao->isVisible();
      FrmDownload->Close();
    });
    Click();  // returns when the download window has closed
    FrmAjudaImpressao->Close();
  });
  FrmAjudaImpressao->ShowModal();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  ExpectConfirmation(ShownBoxes()[0]);
  EXPECT_NE(seen.window, nullptr);
  EXPECT_TRUE(seen.modal);
  EXPECT_TRUE(seen.helpStillOpen);
  // The fresh window is gone again; the one made at start-up was never touched.
  EXPECT_EQ(FrmDownload, nullptr);
  EXPECT_FALSE(startupDownload_->isVisible());
}

TEST_F(PrinterCheckTest, AQueueAddedAfterTheFirstCheckIsSeenOnlyInTheNextRun) {
  AddQueues({"PDF-Creator"});
  testing_support::AnswerNextBox(1);
  Click();
  AddQueues({"PDFCreator"});
  testing_support::AnswerNextBox(1);
  Click();
  ASSERT_EQ(ShownBoxes().size(), 2u);
  ExpectConfirmation(ShownBoxes()[1]);
  EXPECT_FALSE(PrinterList().contains(QStringLiteral("PDFCreator")));
}

TEST(PrinterName, OnlyAToZAreLowerCased) {
  const struct {
    const char* name;
    bool matches;
  } cases[] = {
      {"PDFCreator", true},
      {"pdfcreator", true},
      {"PDF Creator", false},
      {"PDFCreator (2)", false},
      {"\\\\server\\PDFCreator", false},
      {"pdfcreator ", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPdfCreatorName(QString::fromUtf8(c.name)), c.matches) << c.name;
  }
}

}  // namespace
