// The JPEG decoder, the processor identification and the place and start of a downloaded
// program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QTemporaryDir>

#include "platform/cpu.h"
#include "platform/jpeg.h"
#include "platform/process.h"
#include "testapp.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return file.readAll();
}

TEST(Jpeg, DecodesTheHelpPicturesAtTheirSizes) {
  const QImage transfer = LoadJpeg(QStringLiteral(":/pictures/ajudatransferencia.jpg"));
  EXPECT_EQ(transfer.size(), QSize(400, 266));
  const QImage printing = LoadJpeg(QStringLiteral(":/pictures/ajudaimpressao.jpg"));
  EXPECT_EQ(printing.size(), QSize(326, 400));
  // The printing picture's background is teal: green and blue well above red.
  const QColor corner = printing.pixelColor(3, 3);
  EXPECT_GT(corner.green(), corner.red() + 40);
  EXPECT_GT(corner.blue(), corner.red() + 40);
}

TEST(Jpeg, BrokenPicturesFailClearly) {
  const QByteArray good = ReadAll(QStringLiteral(":/pictures/ajudaimpressao.jpg"));
  QByteArray damaged = good;
  for (qsizetype i = 600; i < damaged.size() - 2; i += 7) damaged[i] = static_cast<char>(0xff);
  const struct {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"empty", QByteArray()},
      {"not a JPEG", QByteArray("GIF89a this is something else entirely")},
      {"cut short", good.left(good.size() / 2)},
      {"header only", good.left(200)},
      {"damaged data", damaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      (void)DecodeJpeg(c.bytes);
      ADD_FAILURE() << "decoded";
    } catch (const EJpegError& failure) {
      EXPECT_FALSE(failure.Message().isEmpty());
    }
  }
  EXPECT_THROW((void)LoadJpeg(QStringLiteral(":/pictures/missing.jpg")), EJpegError);
}

TEST(Jpeg, GreyPicturesStayGrey) {
  QImage grey(5, 3, QImage::Format_Grayscale8);
  grey.fill(128);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpeg");
  if (!writer.canWrite()) GTEST_SKIP() << "no JPEG writer to make the sample";
  ASSERT_TRUE(writer.write(grey));
  const QImage decoded = DecodeJpeg(buffer.data());
  EXPECT_EQ(decoded.format(), QImage::Format_Grayscale8);
  EXPECT_EQ(decoded.size(), QSize(5, 3));
  EXPECT_NEAR(qGray(decoded.pixel(2, 1)), 128, 3);
}

TEST(Cpu, SixtyFourBitsOnlyForIntelAndAmdWithLongMode) {
  constexpr std::uint32_t kAll = 0xffffffffu;
  const struct {
    const char* vendor;
    std::uint32_t maxLeaf;
    std::uint32_t edx;
    bool expected;
  } cases[] = {
      {"GenuineIntel", 0x80000008u, kLongModeBit, true},
      {"AuthenticAMD", 0x80000001u, kLongModeBit | 0x1u, true},
      {"GenuineIntel", 0x80000008u, kAll & ~kLongModeBit, false},  // no long mode
      {"AuthenticAMD", 0x80000000u, kLongModeBit, false},          // leaf not reported
      {"CentaurHauls", 0x80000008u, kLongModeBit, false},          // other vendors
      {"HygonGenuine", 0x80000008u, kLongModeBit, false},
      {"genuineintel", 0x80000008u, kLongModeBit, false},  // vendor text is exact
      {"", 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vendor);
    const TCpuInfo cpu(TCpuIdentity{QString::fromLatin1(c.vendor), c.maxLeaf, c.edx});
    EXPECT_EQ(cpu.Is64Bits(), c.expected);
  }
}

TEST(Cpu, ReadsThisProcessor) {
  const TCpuIdentity identity = ReadCpuIdentity();
#if defined(__x86_64__)
  EXPECT_EQ(identity.vendor.size(), 12);
  // A 64-bit build runs on a long-mode processor; Intel and AMD must say so.
  if (identity.vendor == QLatin1String(kIntelVendor) ||
      identity.vendor == QLatin1String(kAmdVendor)) {
    EXPECT_TRUE(TCpuInfo(identity).Is64Bits());
  }
#endif
}

// The opener is the desktop's (xdg-open on PATH); here a stand-in that records its argument.
class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid() && cache_.isValid());
    previousCache_ = qgetenv("XDG_CACHE_HOME");
    previousPath_ = qgetenv("PATH");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache_.path()));
    const QString opener =
        Write(QStringLiteral("xdg-open"),
              "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" +
                  QFile::encodeName(folder_.filePath(QStringLiteral("opened"))) + "'\n");
    QFile::setPermissions(opener, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    qputenv("PATH", QFile::encodeName(folder_.path()) + ':' + previousPath_);
  }
  void TearDown() override {
    qputenv("XDG_CACHE_HOME", previousCache_);
    qputenv("PATH", previousPath_);
  }

  QString Write(const QString& name, const QByteArray& bytes) {
    QFile file(folder_.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
  }
  [[nodiscard]] QByteArray Opened() const {
    QFile record(folder_.filePath(QStringLiteral("opened")));
    return record.open(QIODevice::ReadOnly) ? record.readAll() : QByteArray();
  }

  QTemporaryDir folder_;
  QTemporaryDir cache_;
  QByteArray previousCache_;
  QByteArray previousPath_;
};

TEST_F(DownloadFileTest, EachDownloadGetsAPrivateFolderAndAFileOnlyTheUserCanRead) {
  QFile first, second;
  QString firstPath, secondPath, error;
  ASSERT_TRUE(CreateDownloadFile(QStringLiteral("pdf.exe"), first, firstPath, error))
      << error.toStdString();
  ASSERT_TRUE(CreateDownloadFile(QStringLiteral("pdf.exe"), second, secondPath, error));
  EXPECT_NE(firstPath, secondPath);
  for (const QString& path : {firstPath, secondPath}) {
    struct stat file {
    }, folder{};
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &file), 0);
    ASSERT_EQ(::lstat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder), 0);
    EXPECT_TRUE(path.startsWith(cache_.path() + QStringLiteral("/zentra/download-")));
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
  }
  EXPECT_EQ(first.write("abc"), 3);
}

TEST_F(DownloadFileTest, ALinkInPlaceOfTheProgramFolderIsRefused) {
  QTemporaryDir elsewhere;
  ASSERT_TRUE(QFile::link(elsewhere.path(), cache_.filePath(QStringLiteral("zentra"))));
  QFile file;
  QString path, error;
  EXPECT_FALSE(CreateDownloadFile(QStringLiteral("pdf.exe"), file, path, error));
  EXPECT_EQ(path, cache_.filePath(QStringLiteral("zentra/pdf.exe")));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
}

TEST_F(DownloadFileTest, ADownloadedProgramIsHandedToTheOpenerAndNeverRun) {
  // A script and an ELF file: either would run as the user if we made it executable.
  const QString mark = folder_.filePath(QStringLiteral("ran"));
  const QByteArray script = "#!/bin/sh\ntouch '" + QFile::encodeName(mark) + "'\n";
  QFile self(QStringLiteral("/proc/self/exe"));
  ASSERT_TRUE(self.open(QIODevice::ReadOnly));
  const QByteArray elf = self.read(4096);
  QByteArray expected;
  for (const QByteArray& bytes : {script, elf}) {
    const QString file = Write(QStringLiteral("atualiza.exe"), bytes);
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(StartDownloadedFile(file), StartOutcome::OpenedByDesktop);
    expected += QFile::encodeName(file) + '\n';
    ASSERT_TRUE(testing_support::WaitFor([&] { return Opened() == expected; }, 5000))
        << Opened().toStdString();
    EXPECT_FALSE(QFileInfo(file).isExecutable());
  }
  testing_support::WaitFor([] { return false; }, 200);
  EXPECT_FALSE(QFile::exists(mark));
}

TEST_F(DownloadFileTest, MissingFileOrOpenerIsAFailure) {
  EXPECT_EQ(StartDownloadedFile(folder_.filePath(QStringLiteral("missing.exe"))),
            StartOutcome::Failed);
  qputenv("PATH", QFile::encodeName(cache_.path()));  // no opener there
  EXPECT_EQ(StartDownloadedFile(Write(QStringLiteral("x.exe"), "MZ")), StartOutcome::Failed);
  EXPECT_TRUE(Opened().isEmpty());
}

}  // namespace
