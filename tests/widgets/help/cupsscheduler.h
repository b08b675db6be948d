#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private CUPS scheduler for one test process: its own configuration, spool and socket in a
// temporary folder, reached by libcups through CUPS_SERVER. Stopped when destroyed.
class TestCupsScheduler {
 public:
  TestCupsScheduler();
  ~TestCupsScheduler();

  // Whether cupsd came up and answers on its socket.
  [[nodiscard]] bool Running() const { return running_; }
  [[nodiscard]] const QString& Error() const { return error_; }
  // Adds an enabled queue that prints into /dev/null.
  [[nodiscard]] bool AddQueue(const QString& name);

 private:
  QTemporaryDir folder_;
  QProcess cupsd_;
  QString socket_;
  QString error_;
  bool running_ = false;
};
