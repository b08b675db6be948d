#pragma once

#include <QBuffer>
#include <QString>
#include <string>
#include <vector>

#include "service/http/httptransfer.h"

// Records a transfer's notifications as "B<max>", "W<count>" and "E", blank-separated.
class TProgressLog {
 public:
  void Attach(THttpTransfer& http) {
    http.OnWorkBegin = [this](THttpTransfer*, TWorkMode mode, qint64 max) {
      Add((mode == wmRead ? "B" : "b") + std::to_string(max));
    };
    http.OnWork = [this](THttpTransfer*, TWorkMode mode, qint64 count) {
      Add((mode == wmRead ? "W" : "w") + std::to_string(count));
    };
    http.OnWorkEnd = [this](THttpTransfer*, TWorkMode mode) { Add(mode == wmRead ? "E" : "e"); };
  }
  [[nodiscard]] const std::string& Text() const { return text_; }

 private:
  void Add(const std::string& event) { text_ += (text_.empty() ? "" : " ") + event; }
  std::string text_;
};

// What one call gave: the text or the stream's bytes, the failure's text, the notifications.
struct TOutcome {
  QString text;
  QByteArray stream;
  QString error;
  std::string progress;
};

inline TOutcome RunGet(THttpTransfer& http, const QString& url, bool intoStream) {
  TOutcome outcome;
  TProgressLog log;
  log.Attach(http);
  QBuffer buffer(&outcome.stream);
  buffer.open(QIODevice::ReadWrite);
  try {
    if (intoStream) {
      http.Get(url, buffer);
    } else {
      outcome.text = http.Get(url);
    }
  } catch (const Exception& e) {
    outcome.error = e.Message();
  }
  outcome.progress = log.Text();
  http.OnWorkBegin = nullptr;  // the log dies here
  http.OnWork = nullptr;
  http.OnWorkEnd = nullptr;
  return outcome;
}
