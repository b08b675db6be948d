// The devices handed over to the session, from this computer's real facts.
#include "rdpcontroltest.h"

TEST_F(RdpControlTest, AHomeFolderThatIsMissingLeavesTheSessionWithTheOtherDevices) {
  qputenv("HOME", home_.filePath(QStringLiteral("not-there")).toUtf8());
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->AdvancedSettings2()->SetRedirectDrives(true);
  client_->AdvancedSettings2()->SetRedirectPorts(true);
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#406080")));
}

TEST_F(RdpControlTest, SessionWithPrintersRedirectedKeepsFlowing) {
  TestCupsScheduler cups;
  ASSERT_TRUE(cups.Start());
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("PDFCreator"), true));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Escritorio"), false));
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey(QString::fromUtf16(kRdpdrKey), true));
  registry.WriteInteger(QString::fromUtf16(kFilterQueueTypeValue), -1);
  registry.CloseKey();

  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->AdvancedSettings2()->SetRedirectPrinters(true);
  client_->AdvancedSettings2()->SetRedirectDrives(true);
  client_->AdvancedSettings2()->SetRedirectPorts(true);
  ASSERT_TRUE(ConnectAndWait());
  // Several seconds of a changing screen: each change must come through, none may stall.
  const QStringList colours = {"#ff0000", "#00ff00", "#0000ff", "#ffff00",
                               "#00ffff", "#ff00ff", "#ffffff", "#808080"};
  QElapsedTimer clock;
  clock.start();
  for (const auto& colour : colours) {
    ASSERT_TRUE(ShowsColour(colour))
        << colour.toStdString() << " after " << clock.elapsed() << " ms";
    WaitFor([] { return false; }, 1000);  // a second of ordinary session life per colour
  }
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);
  EXPECT_FALSE(events_.contains("disconnected"));
}

// The devices each redirection switch hands over, from this computer's real facts: the person's
// folders, CUPS queues of a private scheduler, the stored printer mode, the serial ports present.
TEST(RdpDeviceRedirection, DevicesPerSwitchFromThisComputer) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  testing_support::UsePrivateHome(home);
  TestCupsScheduler cups;
  ASSERT_TRUE(cups.Start());
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Escritorio"), false));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("PDFCreator"), true));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Recepcao"), false));

  auto devices = [](bool drives, bool printers, bool ports) {
    return RdpDeviceChannels(GatherRedirectionInputs(drives, printers, ports));
  };
  EXPECT_TRUE(devices(false, false, false).empty());

  // The person's folders that exist, named as xdg-user-dirs names them; never the home folder.
  ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("config")));
  {
    QFile dirs(home.filePath(QStringLiteral("config/user-dirs.dirs")));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write(
        "XDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\nXDG_DESKTOP_DIR=\"$HOME/\"\n"
        "XDG_MUSIC_DIR=\"$HOME/.musica\"\n");
  }
  for (const char* folder : {"Documentos", "Downloads", ".musica"})
    ASSERT_TRUE(QDir(home.path()).mkpath(QString::fromLatin1(folder)));
  const QString realHome = QFileInfo(home.path()).canonicalFilePath();
  const auto drives = devices(true, false, false);
  ASSERT_GE(drives.size(), 2u);
  EXPECT_EQ(drives[0], (QStringList{"drive", "Documentos", realHome + "/Documentos"}));
  EXPECT_EQ(drives[1], (QStringList{"drive", "Downloads", realHome + "/Downloads"}));
  for (const auto& d : drives) {
    EXPECT_EQ(d.value(0), QStringLiteral("drive"));
    EXPECT_FALSE(d.value(2) == realHome || d.value(2).contains(QStringLiteral("/.")))
        << d.join(' ').toStdString();
  }

  // No stored mode: the default printer only.
  EXPECT_EQ(devices(false, true, false), (std::vector<QStringList>{{"printer", "PDFCreator"}}));
  // The mode the session window stores: every queue, the default first.
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey(QString::fromUtf16(kRdpdrKey), true));
  registry.WriteInteger(QString::fromUtf16(kFilterQueueTypeValue), -1);
  registry.CloseKey();
  auto all = devices(false, true, false);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (QStringList{"printer", "PDFCreator"}));
  std::sort(all.begin() + 1, all.end());
  EXPECT_EQ(all[1], (QStringList{"printer", "Escritorio"}));
  EXPECT_EQ(all[2], (QStringList{"printer", "Recepcao"}));

  // Ports: whatever this machine has, each one readable and named in order.
  const auto ports = devices(false, false, true);
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].value(0), QStringLiteral("serial"));
    EXPECT_EQ(ports[i].value(1), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_TRUE(QFileInfo(ports[i].value(2)).isReadable()) << ports[i].value(2).toStdString();
    EXPECT_TRUE(QFileInfo(ports[i].value(2)).isWritable()) << ports[i].value(2).toStdString();
  }
  std::cout << "serial ports on this machine: " << ports.size() << "\n";
}
