#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <mutex>
#include <thread>

// A scripted lookup endpoint on ADDRESS:52 for the sign-in tests: answers every request with the
// current canned reply (whole HTTP response bytes) and records the request heads it received.
class LookupServer {
 public:
  explicit LookupServer(const char* address, int port = 52);
  ~LookupServer();

  [[nodiscard]] bool Listening() const { return listener_ >= 0; }
  // A 200 reply with this body and a Content-Length.
  void ReplyWithBody(const QByteArray& body, const QByteArray& extraHeaders = {});
  // Exact bytes of the next replies.
  void ReplyWithBytes(const QByteArray& bytes);
  [[nodiscard]] QStringList Requests();

 private:
  void Serve();

  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  QByteArray reply_;
  QStringList requests_;
  std::thread thread_;
};
