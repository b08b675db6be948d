#pragma once

#include <span>

#include "shell/form.h"

class QLabel;
class QPlainTextEdit;
class QShowEvent;

// The design both help windows share: a picture on the left, decoded when the window is first
// opened rather than at start-up with the other windows, and a fixed read-only text built from
// its lines on the right. Created once at start-up and opened modally from the session window's
// toolbar; every opening shows it centred in the work area with the text panel focused. What a
// window says, which picture it shows and what else it holds belong to each class.
class THelpForm : public TForm {
  Q_OBJECT

 protected:
  // The picture is a resource path; each entry of the text is one line of it.
  THelpForm(const char* picture, std::span<const char16_t* const> lines);

  // Fills the text panel and remembers both controls; call once the class's layout is set up.
  void SetupHelp(QLabel* image, QPlainTextEdit* memo);
  void showEvent(QShowEvent* event) override;

 private:
  const char* picture_;
  std::span<const char16_t* const> lines_;
  QLabel* image_ = nullptr;
  QPlainTextEdit* memo_ = nullptr;
};
