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
//   ours into memory: bodies of the text form's largest size (16 MiB), one after another on
//   one component, into the text form's sink                vs  curl -o /dev/null, as many
//   ours into memory: the whole download in one sink        vs  curl -o /dev/null
//     (fresh memory for every byte: on a busy virtual machine its page faults dominate, so the
//     bench also prints how fast this machine fills new memory at all, without any network)
//   ours into a sink that discards                      vs  curl -o /dev/null
// then prints the throughputs, their ratio (target: ours >= 0.95 of curl's, into a file and into
// memory as the text form uses it),
// and the peak memory of each of our downloads above the process's memory before it (target:
// flat, < 16 MiB, into a file; the body itself and no more, into memory).
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

// curl's own transfer time, which leaves out its start-up: `repeats` downloads of the address in
// one run of curl (one connection, as ours keeps), the times added up.
double Curl(const QString& url, const QString& output, int repeats = 1) {
  QStringList arguments{QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-w"),
                        QStringLiteral("%{time_total}\\n")};
  for (int i = 0; i < repeats; ++i) arguments << QStringLiteral("-o") << output << url;
  QProcess curl;
  curl.start(QStringLiteral("curl"), arguments);
  if (!curl.waitForFinished(kCurlTimeoutMs) || curl.exitCode() != 0) {
    std::fprintf(stderr, "curl failed\n");
    std::exit(1);
  }
  double seconds = 0;
  for (const QByteArray& line : curl.readAllStandardOutput().split('\n'))
    seconds += line.toDouble();
  return seconds;
}

// The machine's own floor for any memory target: the time to fill `bytes` of new memory from
// the kernel (reads from /dev/zero), which is mostly page faults. curl -o /dev/null pays none.
double FreshMemorySeconds(qint64 bytes) {
  constexpr qint64 kRead = 256 * 1024;
  QFile zero(QStringLiteral("/dev/zero"));
  if (!zero.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) return 0;
  QElapsedTimer clock;
  clock.start();
  std::vector<char> memory(static_cast<size_t>(bytes));
  for (qint64 at = 0; at < bytes; at += kRead)
    zero.read(memory.data() + at, std::min(kRead, bytes - at));
  return clock.nsecsElapsed() / 1e9;
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
    // A body as large as the text form takes: what the memory target really holds.
    QFile text(nginx.Root() + QStringLiteral("/text.bin"));
    if (!text.open(QIODevice::WriteOnly)) return 1;
    for (qint64 i = 0; i < kMaxTextBodyBytes / block.size(); ++i) text.write(block);
  }
  if (!nginx.Start()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", qPrintable(nginx.Log()));
    return 1;
  }
  const QString url = nginx.Url(QStringLiteral("/big.bin"));
  const QString textUrl = nginx.Url(QStringLiteral("/text.bin"));
  // As many text-sized bodies as make up the big one, on one component and one connection.
  const int textRepeats = static_cast<int>(std::max<qint64>(1, size / kMaxTextBodyBytes));
  const qint64 textBytes = textRepeats * static_cast<qint64>(kMaxTextBodyBytes);
  // The downloaded file goes to memory-backed /dev/shm when there is one: the comparison is about
  // the transfer, and a virtual disk's hiccups would drown it. BENCH_HTTP_OUT picks another folder.
  const QString outBase =
      qEnvironmentVariableIsSet("BENCH_HTTP_OUT")
          ? qEnvironmentVariable("BENCH_HTTP_OUT")
          : (QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                                : QDir::tempPath());
  QTemporaryDir out(outBase + QStringLiteral("/bench_http-XXXXXX"));
  const QString target = out.filePath(QStringLiteral("download.bin"));
  Curl(url, QStringLiteral("/dev/null"));  // the files are in the page cache from here on
  Curl(textUrl, QStringLiteral("/dev/null"));

  enum TTarget { kFile, kMemory, kText, kDiscard };
  qint64 progressCalls = 0, lastCount = 0;
  // Time of the download(s) of ours, and the peak memory above what the process held before.
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
    qint64 expected = size;
    if (into == kFile) {
      QFile file(target);
      file.open(QIODevice::WriteOnly | QIODevice::Truncate);
      http.Get(url, file);
    } else if (into == kMemory) {
      // The text form's sink, bounded by the download's size instead of 16 MiB.
      TMemorySink memory(size, TMemorySink::TOverflow::Fail);
      http.Get(url, memory);
    } else if (into == kText) {
      for (int i = 0; i < textRepeats; ++i) {
        TMemorySink memory(kMaxTextBodyBytes, TMemorySink::TOverflow::Fail);
        http.Get(textUrl, memory);
      }
      expected = kMaxTextBodyBytes;
    } else {
      TDiscardSink sink;
      http.Get(url, sink);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    peakKiB = std::max(peakKiB, StatusKiB("VmHWM") - startKiB);
    if (lastCount != expected) {
      std::fprintf(stderr, "short download: %lld of %lld\n", static_cast<long long>(lastCount),
                   static_cast<long long>(expected));
      std::exit(1);
    }
    return seconds;
  };

  // Rounds alternate between the contenders, so that a slow spell of the machine hits both.
  std::vector<double> oursFile, curlFile, oursText, curlText, oursMemory, oursDiscard, curlDiscard,
      floor;
  qint64 peakFileKiB = 0, peakTextKiB = 0, peakMemoryKiB = 0, peakDiscardKiB = 0;
  for (int round = 0; round < kRounds; ++round) {
    oursFile.push_back(ours(kFile, peakFileKiB));
    curlFile.push_back(Curl(url, target));
    oursText.push_back(ours(kText, peakTextKiB));
    curlText.push_back(Curl(textUrl, QStringLiteral("/dev/null"), textRepeats));
    oursMemory.push_back(ours(kMemory, peakMemoryKiB));
    curlDiscard.push_back(Curl(url, QStringLiteral("/dev/null")));
    oursDiscard.push_back(ours(kDiscard, peakDiscardKiB));
    floor.push_back(FreshMemorySeconds(size));
  }

  const auto mibps = [](qint64 bytes, double seconds) { return bytes / 1048576.0 / seconds; };
  const auto row = [&](const char* what, qint64 bytes, const std::vector<double>& ourTimes,
                       const std::vector<double>& curlTimes, qint64 peakKiB) {
    const double mine = Median(ourTimes), theirs = Median(curlTimes);
    std::printf("  %-44s %10.1f %10.1f %8.3f %8.1f MiB\n", what, mibps(bytes, mine),
                mibps(bytes, theirs), theirs / mine, peakKiB / 1024.0);
    return theirs / mine;
  };
  std::printf("HTTP download from nginx on loopback, %lld MiB, file in %s, median of %d rounds\n",
              static_cast<long long>(mib), qPrintable(out.path()), kRounds);
  std::printf("  %-44s %10s %10s %8s %12s\n", "ours / curl", "ours MiB/s", "curl MiB/s", "ratio",
              "ours peak");
  const double file = row("into a file / -o file", size, oursFile, curlFile, peakFileKiB);
  const double text =
      row(qPrintable(QStringLiteral("into memory, %1 x 16 MiB / -o /dev/null").arg(textRepeats)),
          textBytes, oursText, curlText, peakTextKiB);
  row("into memory, one body / -o /dev/null", size, oursMemory, curlDiscard, peakMemoryKiB);
  row("discarded / -o /dev/null", size, oursDiscard, curlDiscard, peakDiscardKiB);
  std::printf("  filling %lld MiB of new memory from /dev/zero, no network: %.1f MiB/s\n",
              static_cast<long long>(mib), mibps(size, Median(floor)));
  std::printf("  progress notifications per %lld MiB download: %lld\n", static_cast<long long>(mib),
              static_cast<long long>(progressCalls));
  std::printf("  target: ratio >= 0.95 into a file and into memory (16 MiB bodies) -> %s\n",
              file >= 0.95 && text >= 0.95 ? "met" : "not met");
  return 0;
}
