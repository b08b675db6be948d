// The download-and-run windows, time-scaled, against a real nginx reached through the build's
// web host name (see CMakeLists.txt). The program served leaves a mark beside itself when run.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>

#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "service/endpoints.h"
#include "shell/application.h"
#include "shell/timer.h"
#include "testapp.h"
#include "webserver.h"

namespace {

using testing_support::ShownBoxes;
using testing_support::WaitFor;

// 3 s start, 10 s looks, 1 s end become 60, 200 and 20 ms.
constexpr double kTimeScale = 0.02;
// No window may stay up longer than this (unscaled), whatever goes wrong.
constexpr int kWindowBoundMs = 30000;
constexpr char kListen[] = "127.0.0.4:80";
const QString kPdfPath = QStringLiteral("/ferramentas/pdf.exe");

// What a test saw of a download window that has come and gone.
struct Outcome {
  int max = -1;
  int position = -1;
  int looks = 0;
  bool startAttempted = false;
  StartOutcome start = StartOutcome::Failed;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(work_.isValid());
    previousDir_ = QDir::currentPath();
    QDir::setCurrent(work_.path());
    SetTimeScale(kTimeScale);
    testing_support::ClearBoxes();
  }
  void TearDown() override {
    QDir::setCurrent(previousDir_);
    SetTimeScale(1.0);
    TDownloadForm::SetWebAddressForTest({});
  }

  void Serve(const QString& directives = {}) {
    ASSERT_TRUE(server_.Start(QString::fromLatin1(kListen), directives))
        << "run inside netns-run; nginx says: " << server_.Log().toStdString();
  }

  // As the printer check does it: a fresh window, shown modally, destroyed afterwards. `watch`
  // runs every few milliseconds while the window is up.
  Outcome RunDownloadWindow(const std::function<void(TFrmDownload*)>& watch = {}) {
    CreateFrmDownload();
    Application->SetMainForm(nullptr);
    TFrmDownload* window = FrmDownload;
    QTimer poll;
    if (watch) {
      QObject::connect(&poll, &QTimer::timeout, [&] { watch(window); });
      poll.start(2);
    }
    QTimer::singleShot(kWindowBoundMs, window, [window] {
      ADD_FAILURE() << "the window did not close by itself";
      window->Close();
    });
    window->ShowModal();
    poll.stop();
    Outcome outcome{window->ProgressBar1->maximum(), window->ProgressBar1->value(),
                    window->WatchLooks(), window->StartAttempted(), window->LastStartOutcome()};
    delete window;
    FrmDownload = nullptr;
    return outcome;
  }

  [[nodiscard]] QString InWork(const QString& name) const { return work_.filePath(name); }
  [[nodiscard]] bool Marked() const { return QFile::exists(InWork(kMarkName)); }
  [[nodiscard]] bool MarkAppears() const {
    return WaitFor([this] { return Marked(); }, 5000);
  }
  [[nodiscard]] qint64 DownloadedSize() const { return QFileInfo(InWork("pdf.exe")).size(); }
  // Long enough for a started program to have left its mark.
  static void Settle() {
    WaitFor([] { return false; }, 300);
  }

  QTemporaryDir work_;
  QString previousDir_;
  TestWebServer server_;
};

TEST_F(DownloadTest, ReplyWithLengthIsStartedAtTheSecondLookAndAgainAtTheFirstLookNextTime) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  Serve();

  const Outcome first = RunDownloadWindow();
  EXPECT_TRUE(ShownBoxes().empty());
  EXPECT_EQ(first.max, 100000);
  EXPECT_EQ(first.position, 100000);
  EXPECT_EQ(DownloadedSize(), 100000);
  EXPECT_EQ(first.looks, 2);
  EXPECT_TRUE(first.startAttempted);
  EXPECT_EQ(first.start, StartOutcome::Started);
  EXPECT_TRUE(MarkAppears());
  EXPECT_EQ(TFrmDownload::ClassLastPosition(), 100000);

  // A second window of the class starts from the value the first one left.
  QFile::remove(InWork(kMarkName));
  const Outcome second = RunDownloadWindow();
  EXPECT_EQ(second.looks, 1);
  EXPECT_EQ(second.start, StartOutcome::Started);
  EXPECT_TRUE(MarkAppears());
}

TEST_F(DownloadTest, TheFileHasItsFullSizeFromTheFirstBlock) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  Serve(QStringLiteral("location = /ferramentas/pdf.exe { limit_rate 40k; }"));
  int midTransfer = 0;
  bool startedEarly = false;
  const Outcome outcome = RunDownloadWindow([&](TFrmDownload* window) {
    const int position = window->ProgressBar1->value();
    if (position > 0 && position < window->ProgressBar1->maximum()) {
      ++midTransfer;
      EXPECT_EQ(DownloadedSize(), 100000) << "at " << position;
      startedEarly = startedEarly || window->StartAttempted();
    }
  });
  EXPECT_GT(midTransfer, 0);
  EXPECT_FALSE(startedEarly);
  EXPECT_GT(outcome.looks, 2);  // the transfer outlasted looks, which did not start it
  EXPECT_EQ(outcome.start, StartOutcome::Started);
  EXPECT_TRUE(MarkAppears());
}

TEST_F(DownloadTest, ReplyWithoutLengthOutlastingALookIsStartedOnceComplete) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  // Rewriting the body drops its length: nginx sends it chunked, slowly.
  Serve(
      QStringLiteral("location = /ferramentas/pdf.exe { sub_filter 'never-there' 'x'; "
                     "sub_filter_types *; limit_rate 40k; }"));
  const Outcome outcome = RunDownloadWindow();
  EXPECT_TRUE(ShownBoxes().empty());
  EXPECT_EQ(outcome.max, 0);
  EXPECT_EQ(outcome.position, 0);
  EXPECT_GT(outcome.looks, 2);
  EXPECT_EQ(outcome.start, StartOutcome::Started);
  EXPECT_EQ(DownloadedSize(), 100000);
  EXPECT_TRUE(MarkAppears());
}

TEST_F(DownloadTest, NotFoundShowsTheStatusLineAndStartsNothing) {
  Serve();
  const Outcome outcome = RunDownloadWindow();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, QStringLiteral("HTTP/1.1 404 Not Found."));
  EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::Error);
  EXPECT_GT(outcome.max, 0);  // the error page's length
  EXPECT_EQ(outcome.position, outcome.max);
  EXPECT_EQ(outcome.looks, 1);  // closed at the next look
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_TRUE(QFile::exists(InWork("pdf.exe")));
  EXPECT_EQ(DownloadedSize(), 0);
  Settle();
  EXPECT_FALSE(Marked());
}

TEST_F(DownloadTest, UnknownHostShowsTheResolverErrorAndStartsNothing) {
  TDownloadForm::SetWebAddressForTest(QStringLiteral("http://no-such-host.zentra.invalid"));
  const Outcome outcome = RunDownloadWindow();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, QStringLiteral("Socket Error # 11001\r\nHost not found."));
  EXPECT_EQ(outcome.position, 0);
  EXPECT_EQ(outcome.looks, 1);
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_EQ(DownloadedSize(), 0);
}

TEST_F(DownloadTest, BodyCutShortStartsNothing) {
  server_.Put(kPdfPath, MarkingProgram(2000000));
  Serve(QStringLiteral("location = /ferramentas/pdf.exe { limit_rate 200k; }"));
  const Outcome outcome = RunDownloadWindow([this](TFrmDownload* window) {
    if (window->ProgressBar1->value() > 0) server_.Kill();
  });
  ASSERT_EQ(ShownBoxes().size(), 1u);
  // Either the close is seen as the end of a short body, or as a reset connection.
  const QString text = ShownBoxes()[0].text;
  EXPECT_TRUE(text.startsWith(QStringLiteral("Download incompleto: recebidos ")) ||
              text.startsWith(QStringLiteral("Socket Error # ")))
      << text.toStdString();
  if (text.startsWith(QStringLiteral("Download incompleto"))) {
    EXPECT_TRUE(text.endsWith(QStringLiteral(" de 2000000 bytes."))) << text.toStdString();
  }
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_LT(DownloadedSize(), 2000000);
  Settle();
  EXPECT_FALSE(Marked());
}

TEST_F(DownloadTest, AFileThatCannotBeCreatedStopsTheDownloadAndStartsNothing) {
  server_.Put(kPdfPath, MarkingProgram(1000));
  Serve();
  ASSERT_TRUE(QDir(work_.path()).mkdir(QStringLiteral("pdf.exe")));  // in the file's way
  const Outcome outcome = RunDownloadWindow();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  const QString prefix = QStringLiteral("Cannot create file \"%1\". ").arg(InWork("pdf.exe"));
  EXPECT_TRUE(ShownBoxes()[0].text.startsWith(prefix)) << ShownBoxes()[0].text.toStdString();
  EXPECT_GT(ShownBoxes()[0].text.size(), prefix.size());  // the system's reason follows
  EXPECT_EQ(outcome.looks, 1);
  EXPECT_FALSE(outcome.startAttempted);
  Settle();
  EXPECT_FALSE(Marked());
}

TEST_F(DownloadTest, ClosingWithinTheStartDelayCreatesNoFile) {
  server_.Put(kPdfPath, MarkingProgram(1000));
  Serve();
  const Outcome outcome = RunDownloadWindow([](TFrmDownload* window) { window->Close(); });
  EXPECT_EQ(outcome.looks, 0);
  EXPECT_FALSE(QFile::exists(InWork("pdf.exe")));
  EXPECT_TRUE(ShownBoxes().empty());
}

TEST_F(DownloadTest, DeclaredWindow) {
  CreateFrmDownload();
  EXPECT_EQ(FrmDownload->windowTitle(), QStringLiteral("Download em andamento..."));
  EXPECT_EQ(FrmDownload->ProgressBar1->geometry(), QRect(0, 0, 912, 25));
  EXPECT_EQ(FrmDownload->ProgressBar1->maximum(), 100);
  EXPECT_EQ(FrmDownload->Http1->Accept, QStringLiteral("text/html, */*,*.exe"));
  EXPECT_EQ(FrmDownload->Timer1->Interval(), 3000);
  EXPECT_EQ(FrmDownload->Timer2->Interval(), 10000);
  EXPECT_FALSE(FrmDownload->Timer1->Enabled());
  EXPECT_FALSE(FrmDownload->Timer2->Enabled());
  EXPECT_EQ(FrmDownload->DownloadUrl(),
            QStringLiteral("http://" ZENTRA_WEB_HOST "/ferramentas/pdf.exe"));
}

TEST(UpdaterChoice, TheProcessorPicksTheBuild) {
  Application->CreateForm(FrmAtualiza);
  const struct {
    const char* vendor;
    std::uint32_t maxLeaf;
    std::uint32_t edx;
    const char* path;
  } cases[] = {
      {"GenuineIntel", 0x80000008u, kLongModeBit, "/remoto/update/x64/atualiza.exe"},
      {"AuthenticAMD", 0x80000001u, kLongModeBit, "/remoto/update/x64/atualiza.exe"},
      {"GenuineIntel", 0x80000008u, 0, "/remoto/update/x32/atualiza.exe"},
      {"AuthenticAMD", 0x80000000u, kLongModeBit, "/remoto/update/x32/atualiza.exe"},
      {"CentaurHauls", 0x80000008u, kLongModeBit, "/remoto/update/x32/atualiza.exe"},
  };
  for (const auto& c : cases) {
    FrmAtualiza->ComputerInfo1.CPU =
        TCpuInfo(CpuIdentity{QString::fromLatin1(c.vendor), c.maxLeaf, c.edx});
    EXPECT_EQ(FrmAtualiza->DownloadUrl(), QStringLiteral("http://" ZENTRA_WEB_HOST) + c.path)
        << c.vendor;
  }
  EXPECT_EQ(FrmAtualiza->FileName(), QStringLiteral("atualiza.exe"));
  EXPECT_EQ(FrmAtualiza->Timer3->Interval(), 1000);
}

class UpdaterTest : public DownloadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdaterTest, EndsTheApplicationASecondAfterItsLook) {
  const bool served = GetParam();
  if (served) {
    server_.Put(QStringLiteral("/remoto/update/x64/atualiza.exe"), MarkingProgram(5000));
    server_.Put(QStringLiteral("/remoto/update/x32/atualiza.exe"), MarkingProgram(5000));
  }
  Serve();
  Application->CreateForm(FrmAtualiza);
  Application->SetMainForm(nullptr);
  FrmAtualiza->Show();
  ASSERT_TRUE(WaitFor([] { return Application->Terminated(); }, kWindowBoundMs));
  EXPECT_FALSE(FrmAtualiza->Timer2->Enabled());
  EXPECT_EQ(FrmAtualiza->StartAttempted(), served);
  EXPECT_EQ(ShownBoxes().size(), served ? 0u : 1u);
  if (served) {
    EXPECT_TRUE(MarkAppears());
  } else {
    Settle();
    EXPECT_FALSE(Marked());
  }
}

INSTANTIATE_TEST_SUITE_P(Download, UpdaterTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Found" : "NotFound"; });

}  // namespace
