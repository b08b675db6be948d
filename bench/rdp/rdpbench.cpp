// The session's cost as a person feels it: CPU seconds of our control and of xfreerdp, each
// connected for the same period to the same server while its display runs a full-screen
// animation, and our control's CPU on a still desktop. Reports only.
//
//   zentra_rdp_bench [SECONDS]          runs the comparison (default 15 s per client)
//   zentra_rdp_bench --client PORT      (internal) our control as a client process
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <optional>

#include "principal/rdp/msrdpclient.h"
#include "rdptestserver.h"

namespace {

constexpr int kWarmUpMs = 4000;

// User + system CPU seconds a process has used so far (from /proc).
std::optional<double> CpuSeconds(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray text = stat.readAll();
  const auto fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  if (fields.size() < 13) return std::nullopt;
  const double ticks = fields[11].toDouble() + fields[12].toDouble();  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Sleep(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(20);
  }
}

// Starts a client process, lets it connect and settle, then measures it for seconds.
std::optional<double> Measure(const QString& program, const QStringList& arguments,
                              const QProcessEnvironment& env, int seconds) {
  QProcess client;
  client.setProcessEnvironment(env);
  client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  client.setStandardOutputFile(QProcess::nullDevice());
  client.start(program, arguments);
  if (!client.waitForStarted(10000)) return std::nullopt;
  Sleep(kWarmUpMs);
  const auto before = CpuSeconds(client.processId());
  Sleep(seconds * 1000);
  const auto after = CpuSeconds(client.processId());
  const bool alive = client.state() == QProcess::Running;
  client.terminate();
  if (!client.waitForFinished(5000)) {
    client.kill();
    client.waitForFinished(5000);
  }
  if (!before || !after || !alive) return std::nullopt;
  return *after - *before;
}

int RunClient(int argc, char** argv, int port) {
  QApplication application(argc, argv);
  TMsRdpClient client;
  client.resize(1024, 768);
  client.show();
  client.SetServer(QStringLiteral("127.0.0.1"));
  client.SetUserName(QString::fromLatin1(TestRdpServer::kUser));
  client.AdvancedSettings2()->SetRDPPort(port);
  client.AdvancedSettings2()->SetClearTextPassword(QString::fromLatin1(TestRdpServer::kPassword));
  QObject::connect(&client, &TMsRdpClient::OnDisconnected, &application, [](int reason) {
    std::fprintf(stderr, "bench client: disconnected (%d)\n", reason);
    QCoreApplication::exit(1);
  });
  client.Connect();
  return application.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && QByteArray(argv[1]) == "--client")
    return RunClient(argc, argv, std::atoi(argv[2]));
  const int seconds = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 15;

  QCoreApplication application(argc, argv);
  TestRdpServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "bench: server: %s\n", qPrintable(server.Failure()));
    return 1;
  }
  // The clients draw on a display of their own, as they would on a person's desktop.
  QProcess clientDisplay;
  clientDisplay.start(QStringLiteral("Xvfb"),
                      {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                       QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                       QStringLiteral("-nolisten"), QStringLiteral("tcp")});
  QByteArray number;
  QElapsedTimer clock;
  clock.start();
  while (!number.contains('\n') && clock.elapsed() < 15000) {
    clientDisplay.waitForReadyRead(200);
    number += clientDisplay.readAllStandardOutput();
  }
  if (!number.contains('\n')) {
    std::fprintf(stderr, "bench: no client display\n");
    return 1;
  }
  QTemporaryDir home;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"),
             QStringLiteral(":") + QString::fromLatin1(number.trimmed()));
  env.insert(QStringLiteral("HOME"), home.path());
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("ERROR"));

  const QString self = QCoreApplication::applicationFilePath();
  const QString animation = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("zentra_rdp_bench_animation"));
  const QStringList ours = {QStringLiteral("--client"), QString::number(server.Port())};
  const QStringList theirs = {
      QStringLiteral("/v:127.0.0.1:%1").arg(server.Port()),
      QStringLiteral("/u:%1").arg(QString::fromLatin1(TestRdpServer::kUser)),
      QStringLiteral("/p:%1").arg(QString::fromLatin1(TestRdpServer::kPassword)),
      QStringLiteral("/cert:ignore"),
      QStringLiteral("/size:1024x768"),
      QStringLiteral("/bpp:32"),
      QStringLiteral("/rfx"),
      QStringLiteral("-gfx"),
      QStringLiteral("-decorations")};

  QProcess* moving = server.Launch(animation, {});
  if (moving == nullptr) {
    std::fprintf(stderr, "bench: animation did not start\n");
    return 1;
  }
  Sleep(1000);
  std::printf("session benchmark: %d s per client, 1024x768 animation, RemoteFX, 32 bpp\n",
              seconds);
  std::fflush(stdout);
  const auto oursMoving = Measure(self, ours, env, seconds);
  const auto theirsMoving = Measure(QStringLiteral("xfreerdp"), theirs, env, seconds);
  moving->kill();
  moving->waitForFinished(5000);
  (void)server.PaintRoot(QStringLiteral("#406080"));
  Sleep(1000);
  const auto oursStill = Measure(self, ours, env, seconds);

  auto show = [](const std::optional<double>& v) {
    return v ? QString::number(*v, 'f', 2) + QStringLiteral(" s") : QStringLiteral("failed");
  };
  std::printf("animation  ours:     %s CPU\n", qPrintable(show(oursMoving)));
  std::printf("animation  xfreerdp: %s CPU\n", qPrintable(show(theirsMoving)));
  if (oursMoving && theirsMoving && *theirsMoving > 0)
    std::printf("ratio ours/xfreerdp: %.2f (target at most 0.80)\n", *oursMoving / *theirsMoving);
  if (oursStill)
    std::printf("still desktop ours:  %.2f s CPU = %.2f%% of a core (target under 1%%)\n",
                *oursStill, 100.0 * *oursStill / seconds);
  else
    std::printf("still desktop ours:  failed\n");
  clientDisplay.terminate();
  clientDisplay.waitForFinished(5000);
  return 0;
}
