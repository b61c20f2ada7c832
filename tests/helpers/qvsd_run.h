#pragma once
/* A qvsd server started by a test: it exports a directory on free loopback ports (plain TCP, and
 * TLS when asked) and is killed when the object goes. What it writes to standard error (the ready
 * lines and its log) is kept for the test's messages. */
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class qvsd_run {
public:
  qvsd_run() = default;
  qvsd_run(const qvsd_run &) = delete;
  qvsd_run &operator=(const qvsd_run &) = delete;
  ~qvsd_run();

  /* Starts bin with root=root, anonymous=yes unless extra names users=, and the extra words;
   * waits up to 10 s for its ready lines. false when it did not come up (see log()). */
  bool start(const std::string &bin, const std::string &root, const std::vector<std::string> &extra = {},
             bool tls = false);
  /* The pieces of start, for tests of the command line itself: runs argv (argv[0] the program)
   * with standard error collected, then waits up to timeout_ms for the ready line of each
   * listener asked for (filling the ports and the fingerprint), or for every pattern to appear
   * in what it wrote. false when the server ended or the time ran out first. */
  bool launch(const std::vector<std::string> &argv);
  bool wait_ready(bool tcp, bool tls, int timeout_ms);
  bool wait_log(const std::vector<std::string> &patterns, int timeout_ms);
  /* Sends sig and waits for the exit status (128 + signal for a kill; -1 when it did not end). */
  int stop(int sig);
  /* Sends sig and returns at once (SIGSTOP and SIGCONT, to hold the server still). */
  void signal(int sig);
  /* Waits for a server that ends by itself (a refused start-up). */
  int wait_exit() { return stop(0); }
  std::string log();

  /* "qvp://127.0.0.1:PORT" + path (qvps:// and the TLS port with tls). */
  std::string url(const std::string &path, bool tls = false) const;

  int tcp_port = 0, tls_port = 0;
  std::string fingerprint; /* of the TLS certificate, as the ready line prints it */

private:
  bool poll_log(int timeout_ms, const std::function<bool(const std::string &)> &done);
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::string err_;
};

/* Where the two trees of a run are: on this host, or exported by a qvsd_run whose root holds
 * them. The tests of copy and sync run once per side. */
enum qvsd_side : int { SIDE_LOCAL = 0, SIDE_PUSH = 1, SIDE_PULL = 2, SIDE_REMOTE = 3, SIDE_TLS = 4 };
const char *qvsd_side_name(int side);

struct qvsd_side_words {
  std::string I, O;   /* the if= and of= words */
  std::string ip, op; /* the two roots as the run names them in its trace lines */
};
/* in and out lie below root, the server's export (srv need not run for SIDE_LOCAL). */
qvsd_side_words qvsd_side_words_of(const qvsd_run &srv, const std::string &root, const std::string &in,
                                   const std::string &out, int side);
