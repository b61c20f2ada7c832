#pragma once
/* A scripted file service for the client tests: a thread on a loopback port that reads request
 * frames and answers each with what the test's handler returns (a recorded frame, a truncated
 * one, nothing, or a closed connection). Connections are served one after another. A model of a
 * well-behaved server (logins, information, compression switch, ping) answers whatever the test
 * does not script itself. */
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libqvsd/qvsd_wire.h"

/* One request as the server read it: the root from its header word on. */
struct fake_req {
  int conn;          /* 0 for the first connection */
  uint8_t proto;
  uint8_t cmd;
  std::string body;
  /* Members by name ("" / 0 when absent). */
  std::string str(const char *name) const;
  int64_t num(const char *name) const;
  std::string raw(const char *name) const;
  bool has(const char *name) const;
};

/* What to do with one request: send bytes (may be a partial frame), then optionally close. */
struct fake_reply {
  std::string bytes;
  bool close = false;
};

/* Builds a reply frame: the protocol byte, errno and errno_str, then what more adds. */
std::string fake_frame(uint8_t proto, uint8_t cmd, int32_t eno, const char *estr,
                       const std::function<void(qvsd_msg *)> &more = {});
/* A frame around a root the caller built. */
std::string fake_frame_raw(uint8_t proto, uint8_t cmd, const qvsd_msg &m);

/* A server that answers as the service does. */
struct fake_model {
  uint8_t proto = 1;           /* 1 password login, 2 key login */
  bool accept_probe = false;   /* the probe login (user ":", no password) is enough */
  std::string user = "alice";
  std::string password = "s3cret";
  std::string cert = "challenge-42";
  std::string ver = "1.9.0";
  std::string plat = "linux";
  std::string ping_error;      /* nonempty: the ping fails with errno -37 and this text */
  int32_t os_type = 2;
  fake_reply answer(const fake_req &r) const;
};

class fake_qvsd {
public:
  using handler = std::function<fake_reply(const fake_req &)>;
  explicit fake_qvsd(handler h);
  ~fake_qvsd();
  int port() const { return port_; }
  std::string url(const std::string &userinfo = "", const std::string &query = "") const;
  std::vector<fake_req> requests();
  /* Requests of one command. */
  int count(uint8_t cmd);
  int connections() const { return accepted_.load(); }

private:
  void run();
  void serve(int fd, int idx);
  handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> stop_{0};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::vector<fake_req> reqs_;
  std::thread thread_;
};
