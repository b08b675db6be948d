#include "principal/rdp/rdpdevices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/localdevices.h"

namespace {

RedirectionInputs Facts() {
  RedirectionInputs in;
  in.homeName = QStringLiteral("maria");
  in.homePath = QStringLiteral("/home/maria");
  in.removable = {{QStringLiteral("PENDRIVE"), QStringLiteral("/media/maria/PENDRIVE")},
                  {QStringLiteral("Fotos: 2024"), QStringLiteral("/run/media/maria/Fotos: 2024")}};
  in.printerList = {{QStringLiteral("Escritorio"), false},
                    {QStringLiteral("PDFCreator"), true},
                    {QStringLiteral("Recepcao"), false}};
  in.serialPorts = {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyUSB0")};
  return in;
}

std::vector<QStringList> Channels(bool drives, bool printers, bool ports, std::uint32_t mode = 0) {
  RedirectionInputs in = Facts();
  in.drives = drives;
  in.printers = printers;
  in.ports = ports;
  in.filterQueueType = mode;
  return RdpDeviceChannels(in);
}

TEST(RdpDeviceChannels, EachSwitchHandsOverItsOwnDevices) {
  EXPECT_TRUE(Channels(false, false, false, kAllPrinters).empty());

  EXPECT_EQ(Channels(true, false, false),
            (std::vector<QStringList>{{"drive", "maria", "/home/maria"},
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
  RedirectionInputs in;
  in.drives = in.printers = true;
  in.homeName = QStringLiteral("ana");
  in.homePath = QStringLiteral("/home/ana");
  // Two media with one label get two names; no default printer means none in default mode.
  in.removable = {{QStringLiteral("USB"), QStringLiteral("/media/ana/USB")},
                  {QStringLiteral("usb"), QStringLiteral("/media/ana/usb")}};
  in.printerList = {{QStringLiteral("A"), false}};
  EXPECT_EQ(RdpDeviceChannels(in), (std::vector<QStringList>{{"drive", "ana", "/home/ana"},
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
