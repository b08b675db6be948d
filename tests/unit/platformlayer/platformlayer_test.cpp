// The JPEG decoder, the processor identification and the start of a downloaded program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
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
    const TCpuInfo cpu(CpuIdentity{QString::fromLatin1(c.vendor), c.maxLeaf, c.edx});
    EXPECT_EQ(cpu.Is64Bits(), c.expected);
  }
}

TEST(Cpu, ReadsThisProcessor) {
  const CpuIdentity identity = ReadCpuIdentity();
#if defined(__x86_64__)
  EXPECT_EQ(identity.vendor.size(), 12);
  // A 64-bit build runs on a long-mode processor; Intel and AMD must say so.
  if (identity.vendor == QLatin1String(kIntelVendor) ||
      identity.vendor == QLatin1String(kAmdVendor)) {
    EXPECT_TRUE(TCpuInfo(identity).Is64Bits());
  }
#endif
}

class StartProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    SetDesktopOpener([this](const QString& path) {
      handed_ << path;
      return true;
    });
  }
  void TearDown() override { SetDesktopOpener({}); }

  QString Write(const QString& name, const QByteArray& bytes) {
    QFile file(folder_.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
  }

  QTemporaryDir folder_;
  QStringList handed_;
};

TEST_F(StartProgramTest, RunsAScriptByItsFullPathAfterSettingItsRunBit) {
  const QString mark = folder_.filePath(QStringLiteral("ran"));
  const QString program = Write(QStringLiteral("pdf.exe"),
                                "#!/bin/sh\necho \"$0\" > '" + QFile::encodeName(mark) + "'\n");
  EXPECT_EQ(StartProgram(program), StartOutcome::Started);
  ASSERT_TRUE(testing_support::WaitFor([&] { return QFile(mark).size() > 0; }, 5000));
  QFile markFile(mark);
  ASSERT_TRUE(markFile.open(QIODevice::ReadOnly));
  EXPECT_EQ(markFile.readAll().trimmed(), QFile::encodeName(program));
  EXPECT_TRUE(QFile::permissions(program) & QFileDevice::ExeOwner);
  EXPECT_TRUE(handed_.isEmpty());
}

TEST_F(StartProgramTest, FilesTheKernelCannotRunGoToTheDesktop) {
  // An empty file and a Windows program: neither is a program for this kernel.
  for (const QByteArray& bytes : {QByteArray(), QByteArray("MZ\x90\x00\x03 not for this system")}) {
    handed_.clear();
    const QString file = Write(QStringLiteral("atualiza.exe"), bytes);
    EXPECT_EQ(StartProgram(file), StartOutcome::OpenedByDesktop);
    EXPECT_EQ(handed_, QStringList{file});
  }
}

TEST_F(StartProgramTest, MissingFileOrRefusingDesktopIsAFailure) {
  EXPECT_EQ(StartProgram(folder_.filePath(QStringLiteral("missing.exe"))), StartOutcome::Failed);
  EXPECT_TRUE(handed_.isEmpty());
  SetDesktopOpener([](const QString&) { return false; });
  EXPECT_EQ(StartProgram(Write(QStringLiteral("x.exe"), "MZ")), StartOutcome::Failed);
}

}  // namespace
