#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP server for byte-exact HTTP cases: it plays one script per accepted connection, in
// order, and records the request heads it read. Once the scripts are used up, a connection
// either is closed at once or, after ReplyWithBytes/ReplyWithBody, answers every request on it
// with the canned reply (a lookup endpoint that keeps its connections). Every wait is bounded;
// the thread ends with the object.
struct TPeerStep {
  enum TKind { ReadRequest, Send, Close, WaitClientClose, Pause, Drip };
  TKind kind;
  std::string bytes;
  int ms = 0;
  bool endless = false;
};
using TPeerScript = std::vector<TPeerStep>;

// Reads one request head (up to the empty line) and records it.
inline TPeerStep ReadRequest() {
  return {TPeerStep::ReadRequest, {}, 0};
}
inline TPeerStep Send(std::string bytes) {
  return {TPeerStep::Send, std::move(bytes), 0};
}
inline TPeerStep CloseNow() {
  return {TPeerStep::Close, {}, 0};
}
// Waits (bounded) until the client closes; ClientClosed() tells whether it did.
inline TPeerStep WaitClientClose() {
  return {TPeerStep::WaitClientClose, {}, 0};
}
inline TPeerStep Pause(int ms) {
  return {TPeerStep::Pause, {}, ms};
}
// Sends the bytes one at a time, `ms` apart, until they are sent or the client goes away.
inline TPeerStep Drip(std::string bytes, int ms) {
  return {TPeerStep::Drip, std::move(bytes), ms};
}
// Sends the bytes again and again, `ms` apart, until the client goes away.
inline TPeerStep Repeat(std::string bytes, int ms) {
  return {TPeerStep::Drip, std::move(bytes), ms, true};
}

// A 200 reply with this body, its Content-Length and the extra header lines (each with CR LF).
[[nodiscard]] QByteArray OkReply(const QByteArray& body, const QByteArray& extraHeaders = {});

class TScriptedPeer {
 public:
  // Listens on ADDRESS:PORT; port 0 takes a free one. Listening() says whether that worked.
  explicit TScriptedPeer(std::vector<TPeerScript> scripts, const char* address = "127.0.0.1",
                         int port = 0);
  // A peer without scripts on ADDRESS:PORT, for ReplyWithBytes/ReplyWithBody.
  explicit TScriptedPeer(const char* address, int port = 52);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  [[nodiscard]] bool Listening() const { return listenFd_ >= 0; }
  [[nodiscard]] quint16 Port() const { return port_; }
  // "http://ADDRESS:PORT" + path.
  [[nodiscard]] QString Url(const QString& path) const;
  // The reply to every request once the scripts are used up.
  void ReplyWithBytes(const QByteArray& bytes);
  void ReplyWithBody(const QByteArray& body, const QByteArray& extraHeaders = {});
  // The request heads read so far, oldest first, byte for byte (Latin-1).
  [[nodiscard]] QStringList Requests() const;
  [[nodiscard]] int Accepted() const { return accepted_; }
  // Connections played to their end.
  [[nodiscard]] int Finished() const { return finished_; }
  // Whether the client closed connection `index` while a WaitClientClose step waited.
  [[nodiscard]] bool ClientClosed(int index) const;

 private:
  void Run();
  void Play(int fd, const TPeerScript& script, int index);
  bool ReadHead(int fd, std::string& pending, int waitMs);
  void Answer(int fd);
  [[nodiscard]] bool Stopping() const { return stop_; }

  std::vector<TPeerScript> scripts_;
  std::string address_;
  int listenFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answering_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> finished_{0};
  mutable std::mutex mutex_;
  QByteArray reply_;
  QStringList requests_;
  std::vector<int> clientClosed_;
  std::thread thread_;
};
