#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx serving the provider's download paths for one test, with its own configuration, logs
// and served folder in a temporary folder. Stopped (or killed on purpose) by the test.
class TestWebServer {
 public:
  TestWebServer();
  ~TestWebServer();

  // The folder served as the web root; files go under it by their URL paths.
  [[nodiscard]] QString Root() const;
  void Put(const QString& urlPath, const QByteArray& bytes);
  // Starts on `listen` ("127.0.0.4:80") with extra server directives (locations); waits,
  // bounded, until it accepts connections.
  [[nodiscard]] bool Start(const QString& listen, const QString& serverDirectives = {});
  // Ends nginx at once, cutting any reply it is sending.
  void Kill();
  [[nodiscard]] QString Log() const;

 private:
  QTemporaryDir dir_;
  QProcess process_;
};

// A small program for this system that leaves a mark beside itself when it runs, padded with a
// comment to `size` bytes.
[[nodiscard]] QByteArray MarkingProgram(int size);
inline constexpr char kMarkName[] = "ran";
