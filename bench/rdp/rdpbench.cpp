// The session's cost as a person feels it: CPU seconds of our control and of xfreerdp, each
// connected for the same period to the same server while its display runs a full-screen
// animation, and our control's CPU on a still desktop. Reports only.
//
//   zentra_rdp_bench [SECONDS [ROUNDS]]  runs the comparison (default 15 s per client, 2 rounds)
//   zentra_rdp_bench --client PORT [hidden]  (internal) our control as a client process; hidden
//                                            leaves the view unshown (receiving and decoding only)
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
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

// What one client did in the measured period.
struct Measurement {
  double cpuSeconds = 0;
  int frames = 0;  // frames the server sent and the client decoded (frame-end markers)
  int paints = 0;  // repaints of our view (our client only)
};

// FreeRDP logs each frame marker it receives at debug level; the clients log only those lines and
// errors, so counting them gives the frames each one received, by the same rule for both.
constexpr char kFrameEndMarker[] = "SurfaceFrameMarker: action: End";

int CountFrames(const QByteArray& log) {
  return static_cast<int>(log.count(kFrameEndMarker));
}

// Our client notes each repaint of the remote desktop's view, to set against the frames received.
constexpr char kPaintMarker[] = "[DEBUG] bench client: painted";

class PaintCounter : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      std::printf("%s\n", kPaintMarker);
      std::fflush(stdout);
    }
    return QObject::eventFilter(watched, event);
  }
};

// Everything else a client writes is worth seeing.
void ForwardOtherLines(const QByteArray& log) {
  for (const QByteArray& line : log.split('\n'))
    if (!line.isEmpty() && !line.contains("[DEBUG]"))
      std::fprintf(stderr, "%s\n", line.constData());
}

// Starts a client process, lets it connect and settle, then measures it for seconds.
std::optional<Measurement> Measure(const QString& program, const QStringList& arguments,
                                   const QProcessEnvironment& env, int seconds) {
  QProcess client;
  client.setProcessEnvironment(env);
  // FreeRDP writes debug lines to the standard output and errors to the error output.
  client.setProcessChannelMode(QProcess::MergedChannels);
  client.start(program, arguments);
  if (!client.waitForStarted(10000)) return std::nullopt;
  Sleep(kWarmUpMs);
  ForwardOtherLines(client.readAllStandardOutput());
  const auto before = CpuSeconds(client.processId());
  Sleep(seconds * 1000);
  const auto after = CpuSeconds(client.processId());
  const QByteArray log = client.readAllStandardOutput();
  const bool alive = client.state() == QProcess::Running;
  client.terminate();
  if (!client.waitForFinished(5000)) {
    client.kill();
    client.waitForFinished(5000);
  }
  ForwardOtherLines(log + client.readAllStandardOutput());
  if (!before || !after || !alive) return std::nullopt;
  return Measurement{*after - *before, CountFrames(log), static_cast<int>(log.count(kPaintMarker))};
}

int RunClient(int argc, char** argv, int port, bool shown) {
  QApplication application(argc, argv);
  TMsRdpClient client;
  client.resize(1024, 768);
  if (shown) client.show();
  PaintCounter paints;
  client.viewport()->installEventFilter(&paints);
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
    return RunClient(argc, argv, std::atoi(argv[2]), argc < 4 || QByteArray(argv[3]) != "hidden");
  const int seconds = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 15;
  const int rounds = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 2;

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
  env.insert(QStringLiteral("WLOG_FILTER"), QStringLiteral("com.freerdp.core.update:DEBUG"));

  const QString self = QCoreApplication::applicationFilePath();
  const QString animation = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("zentra_rdp_bench_animation"));
  const QStringList ours = {QStringLiteral("--client"), QString::number(server.Port())};
  // The same session as our control asks for: RemoteFX surface commands at 32 bpp without the
  // graphics pipeline (in FreeRDP 2 "-gfx" switches the pipeline on, so it is left out), and the
  // sound channel, which the control always opens.
  const QStringList theirs = {
      QStringLiteral("/v:127.0.0.1:%1").arg(server.Port()),
      QStringLiteral("/u:%1").arg(QString::fromLatin1(TestRdpServer::kUser)),
      QStringLiteral("/p:%1").arg(QString::fromLatin1(TestRdpServer::kPassword)),
      QStringLiteral("/cert:ignore"),
      QStringLiteral("/size:1024x768"),
      QStringLiteral("/bpp:32"),
      QStringLiteral("/rfx"),
      QStringLiteral("/sound"),
      QStringLiteral("-decorations")};

  QProcess* moving = server.Launch(animation, {});
  if (moving == nullptr) {
    std::fprintf(stderr, "bench: animation did not start\n");
    return 1;
  }
  Sleep(1000);
  std::printf(
      "session benchmark: %d s per client and round, %d rounds, 1024x768 animation, "
      "RemoteFX, 32 bpp\n",
      seconds, rounds);
  std::fflush(stdout);
  // The two take turns, so a change in the machine's load falls on both alike.
  Measurement oursTotal;
  Measurement theirsTotal;
  bool complete = true;
  auto report = [](const char* who, int round, const std::optional<Measurement>& m) {
    if (m)
      std::printf("round %d  %-9s %6.2f s CPU  %5d frames  %6.2f ms CPU a frame%s\n", round, who,
                  m->cpuSeconds, m->frames,
                  m->frames > 0 ? 1000.0 * m->cpuSeconds / m->frames : 0.0,
                  m->paints > 0 ? qPrintable(QStringLiteral("  %1 repaints").arg(m->paints)) : "");
    else
      std::printf("round %d  %-9s failed\n", round, who);
    std::fflush(stdout);
  };
  for (int round = 1; round <= rounds; ++round) {
    const auto oursMoving = Measure(self, ours, env, seconds);
    report("ours", round, oursMoving);
    const auto theirsMoving = Measure(QStringLiteral("xfreerdp"), theirs, env, seconds);
    report("xfreerdp", round, theirsMoving);
    if (!oursMoving || !theirsMoving) {
      complete = false;
      continue;
    }
    oursTotal.cpuSeconds += oursMoving->cpuSeconds;
    oursTotal.frames += oursMoving->frames;
    theirsTotal.cpuSeconds += theirsMoving->cpuSeconds;
    theirsTotal.frames += theirsMoving->frames;
  }
  // What receiving and decoding alone cost: the same session with our view never shown. The
  // rest of our cost is showing the frames.
  const auto oursHidden = Measure(self, ours + QStringList{QStringLiteral("hidden")}, env, seconds);
  report("hidden", 0, oursHidden);
  moving->kill();
  moving->waitForFinished(5000);
  (void)server.PaintRoot(QStringLiteral("#406080"));
  Sleep(1000);
  const auto oursStill = Measure(self, ours, env, seconds);

  std::printf("animation  ours:     %.2f s CPU, %d frames\n", oursTotal.cpuSeconds,
              oursTotal.frames);
  std::printf("animation  xfreerdp: %.2f s CPU, %d frames\n", theirsTotal.cpuSeconds,
              theirsTotal.frames);
  if (!complete) std::printf("(some rounds failed and are left out)\n");
  if (theirsTotal.cpuSeconds > 0) {
    std::printf("ratio ours/xfreerdp: %.2f (target at most 0.80)\n",
                oursTotal.cpuSeconds / theirsTotal.cpuSeconds);
    // A client that receives fewer frames does less work without being any faster.
    if (oursTotal.frames > 0 && theirsTotal.frames > 0)
      std::printf(
          "ratio per frame:     %.2f (frames ours/xfreerdp %.2f)\n",
          (oursTotal.cpuSeconds / oursTotal.frames) / (theirsTotal.cpuSeconds / theirsTotal.frames),
          static_cast<double>(oursTotal.frames) / theirsTotal.frames);
  }
  if (oursHidden && oursHidden->frames > 0 && oursTotal.frames > 0)
    std::printf("ours without showing: %.2f ms CPU a frame (showing costs %.2f ms a frame)\n",
                1000.0 * oursHidden->cpuSeconds / oursHidden->frames,
                1000.0 * (oursTotal.cpuSeconds / oursTotal.frames -
                          oursHidden->cpuSeconds / oursHidden->frames));
  if (oursStill)
    std::printf("still desktop ours:  %.2f s CPU = %.2f%% of a core (target under 1%%)\n",
                oursStill->cpuSeconds, 100.0 * oursStill->cpuSeconds / seconds);
  else
    std::printf("still desktop ours:  failed\n");
  clientDisplay.terminate();
  clientDisplay.waitForFinished(5000);
  return 0;
}
