#pragma once

#include <QString>

#include "core/errors.h"
#include "platform/process.h"
#include "service/http/httptransfer.h"
#include "shell/form.h"
#include "shell/timer.h"

class QProgressBar;

// A download whose body ended before the length the server announced.
class EDownloadIncomplete : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EDownloadIncomplete"; }
};

// The file the download is written into could not be created.
class EFCreateError : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EFCreateError"; }
};

// The design both download-and-run windows share: once shown it waits 3 s (Timer1), downloads a
// program into a private folder of its own (CreateDownloadFile) while the bar fills, looks at the
// bar every 10 s (Timer2) and, at the first look that finds it where the previous look left it
// after the transfer ended with every announced byte, hands the file it wrote to the desktop's
// opener. A failed or short transfer starts nothing; the error box shows why and the next look ends
// the window all the same. What a window fetches and what it does once the look has acted belong to
// each class.
class TDownloadForm : public TForm {
  Q_OBJECT

 public:
  TDownloadForm();
  ~TDownloadForm() override;

  void FormShow();
  void Timer1Timer();
  void Timer2Timer();
  void Http1WorkBegin(THttpTransfer* sender, TWorkMode mode, qint64 workCountMax);
  void Http1Work(THttpTransfer* sender, TWorkMode mode, qint64 workCount);
  void Http1WorkEnd(THttpTransfer* sender, TWorkMode mode);

  // The address fetched and the name of the file written.
  [[nodiscard]] virtual QString DownloadUrl() const = 0;
  [[nodiscard]] virtual QString FileName() const = 0;

  // Test seam: fetch from this scheme and authority ("http://127.0.0.1:8080") instead of the
  // build's web host; the path stays the class's own. Empty restores the build's host.
  static void SetWebAddressForTest(const QString& schemeAndAuthority);

  // How many looks this window has taken, and how its start attempt ended (if it made one).
  [[nodiscard]] int WatchLooks() const { return looks_; }
  [[nodiscard]] bool StartAttempted() const { return startAttempted_; }
  [[nodiscard]] StartOutcome LastStartOutcome() const { return startOutcome_; }
  // Where the download went (empty before the transfer).
  [[nodiscard]] const QString& DownloadedPath() const { return writtenPath_; }

  QProgressBar* ProgressBar1 = nullptr;
  THttpTransfer* Http1 = nullptr;
  TTimer* Timer1 = nullptr;
  TTimer* Timer2 = nullptr;

 protected:
  // Binds the shared controls once the class's layout has been set up.
  void SetupDownload(QProgressBar* progressBar);
  // The watch value of the class, shared by all its windows and never reset in a run.
  [[nodiscard]] virtual int& LastPosition() = 0;
  // Runs after the look that acted, whether it started the file or not.
  virtual void WatchEnded() = 0;
  // The build's address with the test's scheme and authority, if one is set.
  [[nodiscard]] static QString WithWebAddress(const char* builtUrl);

 private:
  enum class TTransfer { NotStarted, Running, Succeeded, Failed };

  void SetPosition(qint64 value);

  TTransfer transfer_ = TTransfer::NotStarted;
  QString writtenPath_;
  int looks_ = 0;
  bool startAttempted_ = false;
  StartOutcome startOutcome_ = StartOutcome::Failed;
};

inline constexpr int kStartDelayMs = 3000;
// An installer may take minutes on a slow line; a server that drips it is still cut off.
inline constexpr std::chrono::milliseconds kDownloadDeadline{30 * 60 * 1000};
inline constexpr int kWatchIntervalMs = 10000;
inline constexpr char16_t kCannotCreateFile[] = u"Cannot create file \"%1\". %2";
inline constexpr char16_t kDownloadIncomplete[] = u"Download incompleto: recebidos %1 de %2 bytes.";
