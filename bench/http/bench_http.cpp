// Download throughput: our transfer against curl, side by side in one run, from nginx on
// loopback. Reports only; it never fails a test run and ctest does not know it.
//
// Run it (an optimised build gives the numbers that matter):
//   cmake --preset release && cmake --build build-release --target bench_http
//   build-release/bench/http/bench_http [MiB]        (default 256)
// The downloaded file is written under /dev/shm (or $BENCH_HTTP_OUT, e.g. a disk folder).
//
// It writes a file of that size into a temporary folder, serves it with /usr/sbin/nginx on a
// free loopback port, and downloads it seven times each way, the contenders alternating round by
// round, and takes the median time of each:
//   ours into a file, with progress handlers attached   vs  curl -o FILE
//   ours into memory (a QBuffer that grows as it comes) vs  curl -o /dev/null
//   ours into a sink that discards                      vs  curl -o /dev/null
// then prints the throughputs, their ratio (target: ours >= 0.95 of curl's, file and memory),
// and the peak memory of each of our downloads above the process's memory before it (target:
// flat, < 16 MiB, into a file; the body itself and no more, into memory).
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "nginxserver.h"
#include "service/http/httptransfer.h"

namespace {

constexpr int kRounds = 7;
constexpr int kCurlTimeoutMs = 600000;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 StatusKiB(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith(prefix))
      return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
  }
  return -1;
}

// Lets the peak resident size start again from the current one.
void ResetPeak() {
  QFile clear(QStringLiteral("/proc/self/clear_refs"));
  if (clear.open(QIODevice::WriteOnly)) clear.write("5");
}

// curl's own transfer time, which leaves out its start-up.
double Curl(const QString& url, const QString& output) {
  QProcess curl;
  curl.start(QStringLiteral("curl"),
             {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-o"), output,
              QStringLiteral("-w"), QStringLiteral("%{time_total}"), url});
  if (!curl.waitForFinished(kCurlTimeoutMs) || curl.exitCode() != 0) {
    std::fprintf(stderr, "curl failed\n");
    std::exit(1);
  }
  return curl.readAllStandardOutput().toDouble();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
  const qint64 size = mib * 1024 * 1024;
  if (!TNginxServer::Available()) {
    std::fprintf(stderr, "nginx is not installed (/usr/sbin/nginx)\n");
    return 1;
  }
  TNginxServer nginx;
  {
    QFile served(nginx.Root() + QStringLiteral("/big.bin"));
    if (!served.open(QIODevice::WriteOnly)) return 1;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    for (qint64 i = 0; i < mib; ++i) served.write(block);
  }
  if (!nginx.Start()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", qPrintable(nginx.Log()));
    return 1;
  }
  const QString url = nginx.Url(QStringLiteral("/big.bin"));
  // The downloaded file goes to memory-backed /dev/shm when there is one: the comparison is about
  // the transfer, and a virtual disk's hiccups would drown it. BENCH_HTTP_OUT picks another folder.
  const QString outBase =
      qEnvironmentVariableIsSet("BENCH_HTTP_OUT")
          ? qEnvironmentVariable("BENCH_HTTP_OUT")
          : (QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                                : QDir::tempPath());
  QTemporaryDir out(outBase + QStringLiteral("/bench_http-XXXXXX"));
  const QString target = out.filePath(QStringLiteral("download.bin"));
  Curl(url, QStringLiteral("/dev/null"));  // the file is in the page cache from here on

  enum TTarget { kFile, kMemory, kDiscard };
  qint64 progressCalls = 0, lastCount = 0;
  // Time of one download of ours, and its peak memory above what the process held before it.
  const auto ours = [&](TTarget into, qint64& peakKiB) {
    THttpTransfer http;
    http.Accept = QString::fromLatin1(kAcceptProgram);
    http.CallDeadline = std::chrono::minutes(10);
    http.OnWorkBegin = [&](THttpTransfer*, TWorkMode, qint64) { progressCalls = 0; };
    http.OnWork = [&](THttpTransfer*, TWorkMode, qint64 count) {
      ++progressCalls;
      lastCount = count;
    };
    http.OnWorkEnd = [](THttpTransfer*, TWorkMode) {};
    const qint64 startKiB = StatusKiB("VmRSS");
    ResetPeak();
    QElapsedTimer clock;
    clock.start();
    if (into == kFile) {
      QFile file(target);
      file.open(QIODevice::WriteOnly | QIODevice::Truncate);
      http.Get(url, file);
    } else if (into == kMemory) {
      QBuffer buffer;
      buffer.open(QIODevice::WriteOnly);
      http.Get(url, buffer);
    } else {
      TDiscardSink sink;
      http.Get(url, sink);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    peakKiB = std::max(peakKiB, StatusKiB("VmHWM") - startKiB);
    if (lastCount != size) {
      std::fprintf(stderr, "short download: %lld of %lld\n", static_cast<long long>(lastCount),
                   static_cast<long long>(size));
      std::exit(1);
    }
    return seconds;
  };

  // Rounds alternate between the contenders, so that a slow spell of the machine hits both.
  std::vector<double> oursFile, curlFile, oursMemory, oursDiscard, curlDiscard;
  qint64 peakFileKiB = 0, peakMemoryKiB = 0, peakDiscardKiB = 0;
  for (int round = 0; round < kRounds; ++round) {
    oursFile.push_back(ours(kFile, peakFileKiB));
    curlFile.push_back(Curl(url, target));
    oursMemory.push_back(ours(kMemory, peakMemoryKiB));
    curlDiscard.push_back(Curl(url, QStringLiteral("/dev/null")));
    oursDiscard.push_back(ours(kDiscard, peakDiscardKiB));
  }

  const auto mibps = [&](double seconds) { return mib / seconds; };
  const double file = Median(oursFile), curlF = Median(curlFile);
  const double memory = Median(oursMemory), discard = Median(oursDiscard);
  const double curlD = Median(curlDiscard);
  std::printf("HTTP download of %lld MiB from nginx on loopback, file in %s, median of %d\n",
              static_cast<long long>(mib), qPrintable(out.path()), kRounds);
  std::printf("  %-34s %10s %10s %8s %12s\n", "", "ours MiB/s", "curl MiB/s", "ratio", "ours peak");
  std::printf("  %-34s %10.1f %10.1f %8.3f %8.1f MiB\n", "into a file / curl -o file", mibps(file),
              mibps(curlF), curlF / file, peakFileKiB / 1024.0);
  std::printf("  %-34s %10.1f %10.1f %8.3f %8.1f MiB\n", "into memory / curl -o /dev/null",
              mibps(memory), mibps(curlD), curlD / memory, peakMemoryKiB / 1024.0);
  std::printf("  %-34s %10.1f %10.1f %8.3f %8.1f MiB\n", "discarded / curl -o /dev/null",
              mibps(discard), mibps(curlD), curlD / discard, peakDiscardKiB / 1024.0);
  std::printf("  progress notifications per download: %lld\n",
              static_cast<long long>(progressCalls));
  std::printf("  target: ratio >= 0.95 into a file and into memory -> %s\n",
              curlF / file >= 0.95 && curlD / memory >= 0.95 ? "met" : "not met");
  return 0;
}
