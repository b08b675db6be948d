#pragma once

#include <QString>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP server on 127.0.0.1 (ephemeral port) that plays scripted bytes, one script per accepted
// connection in order, and records the requests it read. Every wait is bounded.
struct TPeerStep {
  enum TKind { ReadRequest, Send, Close, WaitClientClose, Pause };
  TKind kind;
  std::string bytes;
  int ms = 0;
};
using TPeerScript = std::vector<TPeerStep>;

inline TPeerStep ReadRequest() {
  return {TPeerStep::ReadRequest, {}, 0};
}
inline TPeerStep Send(std::string bytes) {
  return {TPeerStep::Send, std::move(bytes), 0};
}
inline TPeerStep CloseNow() {
  return {TPeerStep::Close, {}, 0};
}
inline TPeerStep WaitClientClose() {
  return {TPeerStep::WaitClientClose, {}, 0};
}
inline TPeerStep Pause(int ms) {
  return {TPeerStep::Pause, {}, ms};
}

class TScriptedPeer {
 public:
  explicit TScriptedPeer(std::vector<TPeerScript> scripts);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  [[nodiscard]] quint16 Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  [[nodiscard]] QString Url(const QString& path) const;
  [[nodiscard]] std::vector<std::string> Requests() const;
  [[nodiscard]] int Accepted() const { return accepted_; }
  // Scripts played to their end.
  [[nodiscard]] int Finished() const { return finished_; }
  // Whether the client closed connection `index` while a WaitClientClose step waited.
  [[nodiscard]] bool ClientClosed(int index) const;

 private:
  void Run();
  void Play(int fd, const TPeerScript& script, int index);

  std::vector<TPeerScript> scripts_;
  int listenFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> finished_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<bool> clientClosed_;
  std::thread thread_;
};
