// The remembered certificates file: what it reads, what a rewrite keeps, and how it is written.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "principal/rdp/session/rdpknownhosts.h"

namespace {

const QByteArray kA =
    "3a:9f:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:01:23:45:67:89:ab:cd:ef:10:32:54:76:98:"
    "ba";
const QByteArray kB =
    "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:"
    "ff";

TEST(KnownHosts, ReadsItsLinesAndFreeRdpsAndKeepsEveryOtherLineAsItCame) {
  struct Case {
    QByteArray line;
    bool read;  // an entry for rdp.example.com 3389 with kA
  };
  const Case cases[] = {
      {"rdp.example.com 3389 " + kA, true},
      // FreeRDP's layout: subject and issuer in base64 after the fingerprint.
      {"rdp.example.com 3389 " + kA + " Q049cmRw Q049Y2E=", true},
      {"RDP.Example.COM 3389 " + kA.toUpper(), true},
      {"rdp.example.com 3390 " + kA, false},           // another port
      {"rdp.example.com 0 " + kA, false},              // no port
      {"rdp.example.com 65536 " + kA, false},          //
      {"rdp.example.com +3389 " + kA, false},          //
      {"rdp.example.com 3389 " + kA.left(94), false},  // a byte short
      {"rdp.example.com 3389 " + kA.left(93) + "zz", false},
      {"rdp.example.com 3389", false},
      {"rdp/example.com 3389 " + kA, false},
      {"# rdp.example.com 3389 " + kA, false},
      {"\xff\xfe garbage \x01", false},
      {QByteArray(9000, 'x') + " 3389 " + kA, false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.left(100).toStdString());
    const QByteArray text = "other.example.com 3389 " + kB + "\n" + c.line + "\n";
    const TKnownHosts hosts = TKnownHosts::Parse(text);
    const auto found = hosts.Fingerprint(QStringLiteral("rdp.example.com"), 3389);
    EXPECT_EQ(found.has_value(), c.read);
    if (c.read) {
      EXPECT_EQ(*found, QString::fromLatin1(kA));
    }
    EXPECT_EQ(hosts.Fingerprint(QStringLiteral("other.example.com"), 3389),
              QString::fromLatin1(kB));
    // Written back unchanged, every line where it was.
    EXPECT_EQ(hosts.Text(), text);
  }
}

TEST(KnownHosts, RememberingReplacesOnlyThatServersLine) {
  const QByteArray text = "# mine\nrdp.example.com 3389 " + kA + " Q049cmRw Q049Y2E=\n" +
                          "\x01 unreadable\nrdp.example.com 3390 " + kA +
                          "\nRDP.example.com 3389 " + kA + "\n";
  TKnownHosts hosts = TKnownHosts::Parse(text);
  hosts.Remember(QStringLiteral("rdp.EXAMPLE.com"), 3389, QString::fromLatin1(kB));
  EXPECT_EQ(hosts.Text(), "# mine\nrdp.example.com 3389 " + kB + "\n\x01 unreadable\n" +
                              "rdp.example.com 3390 " + kA + "\n");
  hosts.Remember(QStringLiteral("new.example.com"), 443, QString::fromLatin1(kA));
  EXPECT_TRUE(hosts.Text().endsWith("\nnew.example.com 443 " + kA + "\n"));
  EXPECT_EQ(hosts.Fingerprint(QStringLiteral("new.example.com"), 443), QString::fromLatin1(kA));
}

mode_t Mode(const QString& path) {
  struct stat info {};
  return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(KnownHosts, TheFileIsWrittenWholeForItsOwnerAloneInAFolderOfItsOwnersAlone) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString folder = dir.filePath(QStringLiteral("config/zentra"));
  const QString path = folder + QStringLiteral("/known_hosts2");
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                QFileDevice::ExeOther | QFileDevice::WriteGroup));
  {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("\x01 kept\n");
    old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther |
                       QFileDevice::WriteOther);
  }
  struct stat old {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &old), 0);
  const ino_t before = old.st_ino;
  TKnownHosts hosts = TKnownHosts::Load(path);
  hosts.Remember(QStringLiteral("rdp.example.com"), 3389, QString::fromLatin1(kA));
  ASSERT_TRUE(hosts.Save(path));
  EXPECT_EQ(Mode(folder), 0700u);
  EXPECT_EQ(Mode(path), 0600u);
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
  EXPECT_NE(info.st_ino, before) << "a new file renamed over the old one, never rewritten in place";
  QFile written(path);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_EQ(written.readAll(), "\x01 kept\nrdp.example.com 3389 " + kA + "\n");
  EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no leftovers";

  // A new folder is made for its owner alone.
  const QString fresh = dir.filePath(QStringLiteral("fresh/zentra/known_hosts2"));
  ASSERT_TRUE(hosts.Save(fresh));
  EXPECT_EQ(Mode(QFileInfo(fresh).absolutePath()), 0700u);
  EXPECT_EQ(Mode(fresh), 0600u);
}

TEST(KnownHosts, AFileTooLargeToBeOursIsNeitherUsedNorWrittenOver) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("known_hosts2"));
  QByteArray text = "rdp.example.com 3389 " + kA + "\n";
  text += QByteArray(kMaxKnownHostsBytes, '#');
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
  }
  TKnownHosts hosts = TKnownHosts::Load(path);
  EXPECT_FALSE(hosts.Fingerprint(QStringLiteral("rdp.example.com"), 3389));
  hosts.Remember(QStringLiteral("rdp.example.com"), 3389, QString::fromLatin1(kB));
  EXPECT_FALSE(hosts.Save(path));
  EXPECT_EQ(QFileInfo(path).size(), text.size());
}

}  // namespace
