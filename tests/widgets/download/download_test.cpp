// The download-and-run windows, time-scaled, against a real nginx reached through the build's
// web host name (see CMakeLists.txt). The program served leaves a mark beside itself if it ever
// runs, which it must not: the windows hand it to the desktop's opener, here a stand-in
// xdg-open first on PATH that records what it was given.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "atualiza/frmatualiza.h"
#include "download/frmdownload.h"
#include "nginxserver.h"
#include "scriptedpeer.h"
#include "service/endpoints.h"
#include "shell/application.h"
#include "shell/timer.h"
#include "testapp.h"

namespace {

using testing_support::ShownBoxes;
using testing_support::WaitFor;

// 3 s start, 10 s looks, 1 s end become 60, 200 and 20 ms.
constexpr double kTimeScale = 0.02;
// No window may stay up longer than this (unscaled), whatever goes wrong.
constexpr int kWindowBoundMs = 30000;
constexpr char kListen[] = "127.0.0.4:80";
const QString kPdfPath = QStringLiteral("/ferramentas/pdf.exe");
constexpr char kMarkName[] = "ran";

// A small program for this system that leaves a mark beside itself when it runs, padded with a
// comment to `size` bytes.
QByteArray MarkingProgram(int size) {
  QByteArray program =
      QByteArray("#!/bin/sh\ntouch \"$(dirname \"$0\")/") + kMarkName + "\"\nexit 0\n#";
  program.append(QByteArray(qMax(0, size - static_cast<int>(program.size()) - 1), 'x'));
  program.append('\n');
  return program;
}

// What a test saw of a download window that has come and gone.
struct Outcome {
  int max = -1;
  int position = -1;
  int looks = 0;
  bool startAttempted = false;
  StartOutcome start = StartOutcome::Failed;
  QString path;  // where the download went
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(work_.isValid() && cache_.isValid() && opener_.isValid());
    previousDir_ = QDir::currentPath();
    QDir::setCurrent(work_.path());
    previousCache_ = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache_.path()));
    // The stand-in opener: records its argument, opens nothing.
    QFile script(opener_.filePath(QStringLiteral("xdg-open")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + QFile::encodeName(OpenerRecord()) +
                 "'\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    previousPath_ = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(opener_.path()) + ':' + previousPath_);
    SetTimeScale(kTimeScale);
    testing_support::ClearBoxes();
  }
  void TearDown() override {
    QDir::setCurrent(previousDir_);
    qputenv("XDG_CACHE_HOME", previousCache_);
    qputenv("PATH", previousPath_);
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
    Outcome outcome{
        window->ProgressBar1->maximum(), window->ProgressBar1->value(), window->WatchLooks(),
        window->StartAttempted(),        window->LastStartOutcome(),    window->DownloadedPath()};
    delete window;
    FrmDownload = nullptr;
    return outcome;
  }

  [[nodiscard]] QString InWork(const QString& name) const { return work_.filePath(name); }
  [[nodiscard]] QString OpenerRecord() const { return opener_.filePath(QStringLiteral("opened")); }
  // What the stand-in opener was handed so far, oldest first.
  [[nodiscard]] QStringList Opened() const {
    QFile record(OpenerRecord());
    if (!record.open(QIODevice::ReadOnly)) return {};
    return QString::fromLocal8Bit(record.readAll()).split(u'\n', Qt::SkipEmptyParts);
  }
  [[nodiscard]] bool OpenedAppears(const QString& path) const {
    return WaitFor([&] { return Opened().contains(path); }, 5000);
  }
  // Whether the downloaded program ran: it leaves its mark beside itself.
  [[nodiscard]] static bool Ran(const QString& path) {
    return !path.isEmpty() && QFileInfo::exists(QFileInfo(path).dir().filePath(kMarkName));
  }
  [[nodiscard]] static qint64 SizeOf(const QString& path) { return QFileInfo(path).size(); }
  // The download is in a private folder of the user's cache, as a file nobody may run or read.
  void ExpectPrivate(const QString& path) const {
    SCOPED_TRACE(path.toStdString());
    const QFileInfo file(path);
    EXPECT_TRUE(path.startsWith(cache_.path() + QStringLiteral("/zentra/download-")));
    EXPECT_EQ(file.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(QFileInfo(file.path()).permissions() &
                  ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_FALSE(file.isExecutable());
  }
  // Long enough for a started program to have left its mark.
  static void Settle() {
    WaitFor([] { return false; }, 300);
  }

  QTemporaryDir work_;
  QTemporaryDir cache_;
  QTemporaryDir opener_;
  QString previousDir_;
  QByteArray previousCache_;
  QByteArray previousPath_;
  TNginxServer server_;
  std::unique_ptr<TScriptedPeer> peer_;  // for replies nginx cannot give
};

TEST_F(DownloadTest, ReplyWithLengthIsOpenedAtTheSecondLookAndAgainAtTheFirstLookNextTime) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  Serve();

  const Outcome first = RunDownloadWindow();
  EXPECT_TRUE(ShownBoxes().empty());
  EXPECT_EQ(first.max, 100000);
  EXPECT_EQ(first.position, 100000);
  EXPECT_EQ(SizeOf(first.path), 100000);
  ExpectPrivate(first.path);
  EXPECT_EQ(first.looks, 2);
  EXPECT_TRUE(first.startAttempted);
  EXPECT_EQ(first.start, StartOutcome::OpenedByDesktop);
  EXPECT_TRUE(OpenedAppears(first.path));
  EXPECT_EQ(TFrmDownload::ClassLastPosition(), 100000);

  // A second window of the class starts from the value the first one left, with a folder of
  // its own.
  const Outcome second = RunDownloadWindow();
  EXPECT_EQ(second.looks, 1);
  EXPECT_EQ(second.start, StartOutcome::OpenedByDesktop);
  EXPECT_NE(QFileInfo(second.path).path(), QFileInfo(first.path).path());
  EXPECT_TRUE(OpenedAppears(second.path));
  Settle();
  EXPECT_FALSE(Ran(first.path) || Ran(second.path));  // handed over, never run by us
}

TEST_F(DownloadTest, WhatLiesInTheWorkingFolderIsNeverWrittenThrough) {
  // Someone who could write to the working folder plants a link named like the download,
  // pointing at a file of the user's, or a program of the same name.
  const QString victim = InWork(QStringLiteral("victim.txt"));
  struct TPlanted {
    const char* what;
    std::function<void()> plant;
  };
  const TPlanted cases[] = {
      {"a link", [&] { ASSERT_TRUE(QFile::link(victim, InWork(QStringLiteral("pdf.exe")))); }},
      {"a file",
       [&] {
         QFile file(InWork(QStringLiteral("pdf.exe")));
         ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         file.write("the user's own pdf.exe");
       }},
  };
  server_.Put(kPdfPath, MarkingProgram(5000));
  Serve();
  for (const TPlanted& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(InWork(QStringLiteral("pdf.exe")));
    {
      QFile file(victim);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
      file.write("precious");
    }
    c.plant();
    const QFileInfo before(InWork(QStringLiteral("pdf.exe")));
    const Outcome outcome = RunDownloadWindow();
    const QFileInfo after(InWork(QStringLiteral("pdf.exe")));
    EXPECT_EQ(after.isSymLink(), before.isSymLink());
    EXPECT_EQ(after.size(), before.size());
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "precious");
    if (!before.isSymLink()) {
      QFile own(InWork(QStringLiteral("pdf.exe")));
      ASSERT_TRUE(own.open(QIODevice::ReadOnly));
      EXPECT_EQ(own.readAll(), "the user's own pdf.exe");
    }
    EXPECT_EQ(SizeOf(outcome.path), 5000);
    ExpectPrivate(outcome.path);
    EXPECT_TRUE(OpenedAppears(outcome.path));
    EXPECT_FALSE(Opened().contains(InWork(QStringLiteral("pdf.exe"))));
  }
}

TEST_F(DownloadTest, TheFileNeverHoldsMoreThanWhatArrived) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  Serve(QStringLiteral("location = /ferramentas/pdf.exe { limit_rate 40k; }"));
  int midTransfer = 0;
  bool startedEarly = false;
  const Outcome outcome = RunDownloadWindow([&](TFrmDownload* window) {
    const int position = window->ProgressBar1->value();
    if (position > 0 && position < window->ProgressBar1->maximum()) {
      ++midTransfer;
      EXPECT_LE(SizeOf(window->DownloadedPath()), position);
      startedEarly = startedEarly || window->StartAttempted();
    }
  });
  EXPECT_GT(midTransfer, 0);
  EXPECT_FALSE(startedEarly);
  EXPECT_GT(outcome.looks, 2);  // the transfer outlasted looks, which did not start it
  EXPECT_EQ(outcome.start, StartOutcome::OpenedByDesktop);
  EXPECT_EQ(SizeOf(outcome.path), 100000);
  EXPECT_TRUE(OpenedAppears(outcome.path));
}

TEST_F(DownloadTest, ReplyWithoutLengthOutlastingALookIsOpenedOnceComplete) {
  server_.Put(kPdfPath, MarkingProgram(100000));
  // Rewriting the body drops its length: nginx sends it chunked, slowly.
  Serve(
      QStringLiteral("location = /ferramentas/pdf.exe { sub_filter 'never-there' 'x'; "
                     "sub_filter_types *; limit_rate 40k; }"));
  const Outcome outcome = RunDownloadWindow();
  EXPECT_TRUE(ShownBoxes().empty());
  // No stated length: an empty bar, not the busy animation of an empty range.
  EXPECT_EQ(outcome.max, 1);
  EXPECT_EQ(outcome.position, 0);
  EXPECT_GT(outcome.looks, 2);
  EXPECT_EQ(outcome.start, StartOutcome::OpenedByDesktop);
  EXPECT_EQ(SizeOf(outcome.path), 100000);
  EXPECT_TRUE(OpenedAppears(outcome.path));
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
  EXPECT_TRUE(QFileInfo::exists(outcome.path));
  EXPECT_EQ(SizeOf(outcome.path), 0);
  Settle();
  EXPECT_TRUE(Opened().isEmpty());
}

TEST_F(DownloadTest, UnknownHostShowsTheResolverErrorAndStartsNothing) {
  TDownloadForm::SetWebAddressForTest(QStringLiteral("http://no-such-host.zentra.invalid"));
  const Outcome outcome = RunDownloadWindow();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  EXPECT_EQ(ShownBoxes()[0].text, QStringLiteral("Socket Error # 11001\r\nHost not found."));
  EXPECT_EQ(outcome.position, 0);
  EXPECT_EQ(outcome.looks, 1);
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_EQ(SizeOf(outcome.path), 0);
}

// The network goes while the body arrives: the window says how much came of how much, keeps
// only what arrived, and opens nothing.
class DownloadFaultTest;
struct NetworkFault {
  const char* name;
  // Serves the 2,000,000-byte program so that the body stops part-way; `during` gets the window
  // while it is up.
  void (*serve)(DownloadFaultTest& test, std::function<void(TFrmDownload*)>& during);
  // A kill may reach the window as a reset connection, said as a socket error.
  bool resetPossible;
};

void PrintTo(const NetworkFault& fault, std::ostream* out) {
  *out << fault.name;
}

class DownloadFaultTest : public DownloadTest, public ::testing::WithParamInterface<NetworkFault> {
 public:
  // The web server dies in the middle of the body.
  static void ServerKilled(DownloadFaultTest& test, std::function<void(TFrmDownload*)>& during) {
    test.server_.Put(kPdfPath, MarkingProgram(2000000));
    test.Serve(QStringLiteral("location = /ferramentas/pdf.exe { limit_rate 200k; }"));
    during = [&test](TFrmDownload* window) {
      if (window->ProgressBar1->value() > 0) test.server_.Kill();
    };
  }
  // The connection ends after half of the announced length.
  static void ConnectionEndsAtHalf(DownloadFaultTest& test, std::function<void(TFrmDownload*)>&) {
    const QByteArray body = MarkingProgram(2000000);
    const QByteArray reply = OkReply(body);
    const QByteArray head = reply.left(reply.size() - body.size());
    test.peer_ = std::make_unique<TScriptedPeer>(
        std::vector<TPeerScript>{{ReadRequest(), Send(head.toStdString()),
                                  Send(body.left(1000000).toStdString()), CloseNow()}},
        "127.0.0.4", 80);
  }
};

TEST_P(DownloadFaultTest, SaysDownloadIncompletoAndOpensNothing) {
  std::function<void(TFrmDownload*)> during;
  GetParam().serve(*this, during);
  const Outcome outcome = RunDownloadWindow(during);
  ASSERT_EQ(ShownBoxes().size(), 1u);
  const QString text = ShownBoxes()[0].text;
  if (!(GetParam().resetPossible && text.startsWith(QStringLiteral("Socket Error # ")))) {
    EXPECT_TRUE(text.startsWith(QStringLiteral("Download incompleto: recebidos ")) &&
                text.endsWith(QStringLiteral(" de 2000000 bytes.")))
        << text.toStdString();
  }
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_LT(SizeOf(outcome.path), 2000000);
  Settle();
  EXPECT_TRUE(Opened().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadFaultTest,
    ::testing::Values(NetworkFault{"ServerKilled", &DownloadFaultTest::ServerKilled, true},
                      NetworkFault{"ConnectionEndsAtHalf", &DownloadFaultTest::ConnectionEndsAtHalf,
                                   false}),
    [](const ::testing::TestParamInfo<NetworkFault>& fault) { return fault.param.name; });

TEST_F(DownloadTest, AFileThatCannotBeCreatedStopsTheDownloadAndStartsNothing) {
  server_.Put(kPdfPath, MarkingProgram(1000));
  Serve();
  // The program's folder in the cache replaced by a link: followed, it would put the download
  // wherever the link points.
  const QString elsewhere = InWork(QStringLiteral("elsewhere"));
  ASSERT_TRUE(QDir().mkdir(elsewhere));
  ASSERT_TRUE(QFile::link(elsewhere, cache_.filePath(QStringLiteral("zentra"))));
  const Outcome outcome = RunDownloadWindow();
  ASSERT_EQ(ShownBoxes().size(), 1u);
  const QString prefix =
      QStringLiteral("Cannot create file \"%1/zentra/pdf.exe\". ").arg(cache_.path());
  EXPECT_TRUE(ShownBoxes()[0].text.startsWith(prefix)) << ShownBoxes()[0].text.toStdString();
  EXPECT_GT(ShownBoxes()[0].text.size(), prefix.size());  // the system's reason follows
  EXPECT_EQ(outcome.looks, 1);
  EXPECT_FALSE(outcome.startAttempted);
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
  Settle();
  EXPECT_TRUE(Opened().isEmpty());
}

TEST_F(DownloadTest, ClosingWithinTheStartDelayCreatesNoFile) {
  server_.Put(kPdfPath, MarkingProgram(1000));
  Serve();
  const Outcome outcome = RunDownloadWindow([](TFrmDownload* window) { window->Close(); });
  EXPECT_EQ(outcome.looks, 0);
  EXPECT_TRUE(outcome.path.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(cache_.filePath(QStringLiteral("zentra"))));
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
        TCpuInfo(TCpuIdentity{QString::fromLatin1(c.vendor), c.maxLeaf, c.edx});
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
    ExpectPrivate(FrmAtualiza->DownloadedPath());
    EXPECT_TRUE(OpenedAppears(FrmAtualiza->DownloadedPath()));
  } else {
    Settle();
    EXPECT_TRUE(Opened().isEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Download, UpdaterTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Found" : "NotFound"; });

}  // namespace
