#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private CUPS scheduler for one test process: its own configuration, spool and socket in a
// temporary folder, reached by libcups (and lpadmin, lpstat) through CUPS_SERVER. Stopped when
// destroyed, and with the test if the test dies first.
class TestCupsScheduler {
 public:
  TestCupsScheduler();
  ~TestCupsScheduler();
  TestCupsScheduler(const TestCupsScheduler&) = delete;
  TestCupsScheduler& operator=(const TestCupsScheduler&) = delete;

  // Starts cupsd and waits (bounded) until it answers; points this process's libcups at it.
  // Call before libcups is first used in the process: it reads the server name once.
  [[nodiscard]] bool Start();
  // Why Start or AddQueue failed.
  [[nodiscard]] const QString& Error() const { return error_; }
  [[nodiscard]] QString Socket() const;
  // Adds an enabled queue that prints into /dev/null, optionally the default one.
  [[nodiscard]] bool AddQueue(const QString& name, bool makeDefault = false);

 private:
  QTemporaryDir folder_;
  QProcess cupsd_;
  QString error_;
};
