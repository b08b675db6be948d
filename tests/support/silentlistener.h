#pragma once

// A peer that takes connections and never says a word: for the tests of giving up on a server
// that stops answering in the middle of a handshake. The kernel completes the TCP handshake for
// every connection in the listen queue, so a listener alone is already silent; Serve() also
// accepts and drains, for a peer that must take more connections than the queue holds.
class SilentListener {
 public:
  SilentListener() = default;
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  // Listens on address:port (IPv4 dotted; port 0 for one the system picks). False, with errno
  // set, when the address is bad or the port cannot be had.
  [[nodiscard]] bool Listen(const char* address, int port = 0);
  // The port it listens on, once Listen succeeded.
  [[nodiscard]] int Port() const { return port_; }
  // Accepts, reads and throws away whatever arrives, answers nothing; returns only on an error.
  void Serve();

 private:
  int fd_ = -1;
  int port_ = 0;
};
