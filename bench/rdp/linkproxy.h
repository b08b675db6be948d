#pragma once
// A network link between the session's clients and its server, for the benchmark: each direction
// delays every byte by a fixed time and holds a rate, reading from the sender no faster than the
// link drains (a bounded queue, as a router's), and counts the bytes the server sends. With no
// rate and no delay it only counts.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class LinkProxy {
 public:
  struct Link {
    std::chrono::milliseconds delay{0};  // each way
    std::int64_t bitsPerSecond = 0;      // each direction; 0: as fast as the machine goes
  };

  // Listens on a free loopback port and forwards each connection to the server's port.
  LinkProxy(int serverPort, Link link);
  ~LinkProxy();
  LinkProxy(const LinkProxy&) = delete;
  LinkProxy& operator=(const LinkProxy&) = delete;

  [[nodiscard]] bool Working() const { return listener_ >= 0; }
  [[nodiscard]] int Port() const { return port_; }
  // Bytes from the server to the clients so far.
  [[nodiscard]] std::int64_t BytesDown() const { return bytesDown_; }

 private:
  void Accept();
  void Carry(int client, int server);

  int serverPort_;
  Link link_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<std::int64_t> bytesDown_ = 0;
  std::thread acceptor_;
  std::mutex connectionsMutex_;
  std::vector<std::thread> connections_;
};
