#include "principal/rdp/session/rdpdevices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/localdevices.h"

namespace {

TRedirectionInputs Facts() {
  TRedirectionInputs in;
  in.userFolders = {{QStringLiteral("Documentos"), QStringLiteral("/home/maria/Documentos")}};
  in.removable = {{QStringLiteral("PENDRIVE"), QStringLiteral("/media/maria/PENDRIVE")},
                  {QStringLiteral("Fotos: 2024"), QStringLiteral("/run/media/maria/Fotos: 2024")}};
  in.printerList = {{QStringLiteral("Escritorio"), false},
                    {QStringLiteral("PDFCreator"), true},
                    {QStringLiteral("Recepcao"), false}};
  in.serialPorts = {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0")};
  return in;
}

std::vector<QStringList> Channels(bool drives, bool printers, bool ports, std::uint32_t mode = 0) {
  TRedirectionInputs in = Facts();
  in.drives = drives;
  in.printers = printers;
  in.ports = ports;
  in.filterQueueType = mode;
  return RdpDeviceChannels(in);
}

TEST(RdpDeviceChannels, EachSwitchHandsOverItsOwnDevices) {
  EXPECT_TRUE(Channels(false, false, false, kAllPrinters).empty());

  EXPECT_EQ(Channels(true, false, false),
            (std::vector<QStringList>{{"drive", "Documentos", "/home/maria/Documentos"},
                                      {"drive", "PENDRIVE", "/media/maria/PENDRIVE"},
                                      // characters a share name cannot carry become "_"
                                      {"drive", "Fotos_ 2024", "/run/media/maria/Fotos: 2024"}}));

  // The default printer alone, unless the stored mode asks for all of them (default first).
  EXPECT_EQ(Channels(false, true, false), (std::vector<QStringList>{{"printer", "PDFCreator"}}));
  EXPECT_EQ(Channels(false, true, false, 0x1234),
            (std::vector<QStringList>{{"printer", "PDFCreator"}}));
  EXPECT_EQ(Channels(false, true, false, kAllPrinters),
            (std::vector<QStringList>{
                {"printer", "PDFCreator"}, {"printer", "Escritorio"}, {"printer", "Recepcao"}}));

  EXPECT_EQ(Channels(false, false, true),
            (std::vector<QStringList>{{"serial", "COM1", "/dev/ttyS0"},
                                      {"serial", "COM2", "/dev/ttyUSB0"}}));
  EXPECT_EQ(Channels(true, true, true).size(), 3u + 1u + 2u);
}

TEST(RdpDeviceChannels, EdgesOfTheFacts) {
  TRedirectionInputs in;
  in.drives = in.printers = true;
  in.userFolders = {{QStringLiteral("Downloads"), QStringLiteral("/home/ana/Downloads")}};
  // Two media with one label get two names; no default printer means none in default mode.
  in.removable = {{QStringLiteral("USB"), QStringLiteral("/media/ana/USB")},
                  {QStringLiteral("usb"), QStringLiteral("/media/ana/usb")}};
  in.printerList = {{QStringLiteral("A"), false}};
  EXPECT_EQ(RdpDeviceChannels(in),
            (std::vector<QStringList>{{"drive", "Downloads", "/home/ana/Downloads"},
                                      {"drive", "USB", "/media/ana/USB"},
                                      {"drive", "usb2", "/media/ana/usb"}}));
  in.filterQueueType = kAllPrinters;
  EXPECT_EQ(RdpDeviceChannels(in).back(), (QStringList{"printer", "A"}));
}

TEST(RemovableMounts, OnlyRealMediaUnderTheAutomounterFolders) {
  const QString mounts = QStringLiteral(
      "/dev/sda1 / ext4 rw,relatime 0 0\n"
      "proc /proc proc rw 0 0\n"
      "/dev/sdb1 /media/maria/PENDRIVE vfat rw,nosuid 0 0\n"
      "/dev/sdc1 /run/media/maria/My\\040Disk exfat rw 0 0\n"
      "tmpfs /media/maria/ram tmpfs rw 0 0\n"
      "/dev/sr0 /media/cdrom iso9660 ro 0 0\n"
      "/dev/sdd1 /mnt/backup ext4 rw 0 0\n"
      "/dev/sdb1 /media/maria/PENDRIVE vfat rw,nosuid 0 0\n"
      "garbage\n");
  const auto found = RemovableMountsFrom(mounts);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].path, QStringLiteral("/media/maria/PENDRIVE"));
  EXPECT_EQ(found[1].name, QStringLiteral("My Disk"));
  EXPECT_EQ(found[1].path, QStringLiteral("/run/media/maria/My Disk"));
  EXPECT_EQ(found[2].name, QStringLiteral("cdrom"));
}

// What a hijacked server could do with a share decides what is shared: never the home folder
// (~/.bashrc, ~/.ssh), nothing hidden, nothing that holds settings, caches or this program's
// remembered certificates.
TEST(UserFolderShares, OnlyThePersonsVisibleFolders) {
  const QString home = QStringLiteral("/home/maria");
  const QStringList privateFolders = {
      QStringLiteral("/home/maria/.config"), QStringLiteral("/home/maria/.cache"),
      QStringLiteral("/home/maria/Documentos/.zentra-config"),  // a moved XDG_CONFIG_HOME
      QStringLiteral("/run/user/1000")};
  const struct {
    QString path;
    bool shared;
  } cases[] = {
      {QStringLiteral("/home/maria/Documentos"), false},  // holds a settings folder
      {QStringLiteral("/home/maria/Downloads"), true},
      {QStringLiteral("/home/maria/Área de Trabalho"), true},
      {QStringLiteral("/home/maria/Downloads/"), false},  // the same folder again
      {QStringLiteral("/home/maria"), false},             // "$HOME" in user-dirs.dirs
      {QStringLiteral("/home/maria/"), false},
      {QStringLiteral("/home"), false},  // around the home folder
      {QStringLiteral("/"), false},
      {QStringLiteral("/home/maria/.local/share/Musica"), false},
      {QStringLiteral("/home/maria/Imagens/.fotos"), false},
      {QStringLiteral("/home/maria/.config/Videos"), false},
      {QStringLiteral("/run/user/1000/doc"), false},
      {QStringLiteral("/dados/Musica"), true},  // a user folder on another disk
      {QStringLiteral("relative/Videos"), false},
      {QString(), false},  // missing or not the person's own
  };
  QStringList paths;
  for (const auto& c : cases) paths << c.path;
  std::vector<QStringList> expected;
  for (const auto& c : cases)
    if (c.shared) expected.push_back({QDir(c.path).dirName(), QDir::cleanPath(c.path)});
  std::vector<QStringList> got;
  for (const auto& share : UserFolderShares(paths, home, privateFolders))
    got.push_back({share.name, share.path});
  EXPECT_EQ(got, expected);

  // A home below a dotted folder still shares its visible folders.
  EXPECT_EQ(UserFolderShares({QStringLiteral("/srv/.homes/ana/Downloads")},
                             QStringLiteral("/srv/.homes/ana"), {})
                .size(),
            1u);
}

// Ports come from the kernel's list, never from opening /dev/tty*: opening raises DTR, which
// resets boards that listen to it.
TEST(SerialPortsInSystem, PortsWithHardwareBehindThem) {
  QTemporaryDir sys;
  ASSERT_TRUE(sys.isValid());
  auto tty = [&](const QString& name, bool device, const QByteArray& type) {
    const QString folder = sys.filePath(name);
    ASSERT_TRUE(QDir().mkpath(folder));
    if (device) {
      ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/device")));
    }
    if (!type.isNull()) {
      QFile file(folder + QStringLiteral("/type"));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(type);
    }
  };
  tty(QStringLiteral("ttyS0"), true, "4\n");  // a 16550A
  tty(QStringLiteral("ttyS1"), true, "0\n");  // listed, no UART behind it
  tty(QStringLiteral("ttyUSB0"), true, {});   // USB adapters are not serial-core ports
  tty(QStringLiteral("ttyACM0"), true, {});
  tty(QStringLiteral("tty1"), false, {});  // a virtual console
  tty(QStringLiteral("ptmx"), false, {});
  QStringList found = SerialPortsInSystem(sys.path());
  found.sort();
  EXPECT_EQ(found, (QStringList{"ttyACM0", "ttyS0", "ttyUSB0"}));
  EXPECT_EQ(SerialCandidatesFrom(found), (QStringList{"ttyS0", "ttyUSB0", "ttyACM0"}));
}

TEST(SerialCandidates, KindsInOrderNumbersNaturally) {
  EXPECT_EQ(SerialCandidatesFrom({"ttyUSB1", "tty0", "ttyS10", "ttyACM0", "ttyS2", "ttyUSB0",
                                  "ttySx", "console", "ttyS0"}),
            (QStringList{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB1", "ttyACM0"}));
}

TEST(FolderShareable, OnlyFoldersThisUserCanOpen) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString folder = dir.filePath(QStringLiteral("stick"));
  const QString closed = dir.filePath(QStringLiteral("other-user"));
  const QString file = dir.filePath(QStringLiteral("file"));
  ASSERT_TRUE(QDir().mkpath(folder));
  ASSERT_TRUE(QDir().mkpath(closed));
  QFile(file).open(QIODevice::WriteOnly);
  ASSERT_TRUE(QFile::setPermissions(closed, QFileDevice::ReadOwner));  // cannot be entered
  const struct {
    QString path;
    bool shareable;
  } cases[] = {
      {folder, true},
      {folder + QStringLiteral("/"), true},
      {dir.filePath(QStringLiteral("missing")), false},
      {file, false},
      {QString(), false},
      // Root may enter any folder; for everyone else the closed one is closed.
      {closed, ::geteuid() == 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FolderShareable(c.path), c.shareable) << c.path.toStdString();
  QFile::setPermissions(closed,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

}  // namespace
