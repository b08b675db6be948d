#pragma once

#include <memory>

#include "download/downloadform.h"

namespace Ui {
class TFrmDownload;
}

// Downloads the PDF printer's installer into the working directory, starts it and closes.
class TFrmDownload : public TDownloadForm {
  Q_OBJECT

 public:
  TFrmDownload();
  ~TFrmDownload() override;

  [[nodiscard]] QString DownloadUrl() const override;
  [[nodiscard]] QString FileName() const override;
  // The watch value shared by every download window of the run.
  [[nodiscard]] static int& ClassLastPosition();

 protected:
  void SetupLayout() override;
  [[nodiscard]] int& LastPosition() override { return ClassLastPosition(); }
  void WatchEnded() override;

 private:
  std::unique_ptr<Ui::TFrmDownload> ui_;
};

extern TFrmDownload* FrmDownload;

// The one place a download window is made: a new window owned by the application, and FrmDownload
// refers to it. Start-up makes one that is never shown; the printer check makes a fresh one for
// each download, and the earlier one stays, unseen, until the program ends.
void CreateFrmDownload();
