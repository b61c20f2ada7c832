#pragma once
/* A TCP relay on a free loopback port that forwards every connection to a target port and can
 * spoil one connection's traffic on the way, once, for tests of what a client does when the
 * network fails it: the connection dropped after some bytes, a stall, or one byte flipped. Every
 * other connection passes untouched (a reconnect finds a healthy network). */
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fault_plan {
  enum kind_t { NONE, DROP, STALL, FLIP } kind = NONE;
  bool upstream = true; /* the fault hits the client-to-server direction (else server-to-client) */
  uint64_t at = 0;      /* after this many bytes of that direction of one connection */
  int conn = -1;        /* the connection it hits (0 the first one accepted); -1 the first that gets
                         * that far */
};

class fault_relay {
public:
  fault_relay(int target_port, const fault_plan &plan);
  ~fault_relay();
  fault_relay(const fault_relay &) = delete;
  fault_relay &operator=(const fault_relay &) = delete;
  int port() const { return port_; }
  /* Whether the fault took place (the byte count was reached). */
  bool fired() const { return fired_.load(); }

private:
  void accept_loop();
  void pump(int conn, int a, int b);
  int target_;
  fault_plan plan_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> fired_{false};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> pumps_;
};
