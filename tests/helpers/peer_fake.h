#pragma once
/* Loopback TCP peers that run on a thread of the test: a scripted server that plays fixed bytes
 * (fake proxies, peers that stall or close half-way) and an echo server (the target behind real
 * proxies). Both listen on 127.0.0.1 with a port the kernel picks. */
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/* One step of a script: read exactly `read` bytes (0: none), then send `write`. */
struct peer_step {
  size_t read;
  std::string write;
};

/* What a script does after its last step. */
enum class peer_end { close, hold };

class peer_fake {
public:
  /* Serves `connections` connections one after another, each with the whole script. */
  peer_fake(std::vector<peer_step> script, peer_end end = peer_end::close, int connections = 1);
  ~peer_fake();
  int port() const { return port_; }
  /* Bytes read on all connections so far. */
  std::string received();
  int accepted() const { return accepted_.load(); }

private:
  void run();
  std::vector<peer_step> script_;
  peer_end end_;
  int connections_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> stop_{0};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::string received_;
  std::thread thread_;
};

/* Echoes every byte back on every connection until destroyed. */
class peer_echo {
public:
  peer_echo();
  ~peer_echo();
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }

private:
  void run();
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> stop_{0};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

/* A listening socket on 127.0.0.1 with a kernel-chosen port (stored in *port); -1 on failure. */
int peer_listen(int *port);
/* A port that was free a moment ago (bound to port 0 and released). */
int peer_free_port();
