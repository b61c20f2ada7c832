#pragma once
/* Real peers from Debian packages, started by the tests on free loopback ports, in the
 * foreground, as the test's own user, with their configuration in a temporary directory:
 * tinyproxy (HTTP CONNECT), microsocks (SOCKS5) and openssl s_server. Each is killed and its
 * directory removed when the object goes. */
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class peer_proc {
public:
  ~peer_proc();
  int port() const { return port_; }
  const std::string &dir() const { return dir_; }
  /* What the program wrote to its standard output and error so far. */
  std::string output() const;
  bool running();

  /* tinyproxy on a free port; user empty: no BasicAuth. Null when it cannot be started. */
  static std::unique_ptr<peer_proc> tinyproxy(const std::string &user, const std::string &pwd);
  /* microsocks on a free port; user empty: no authentication. */
  static std::unique_ptr<peer_proc> microsocks(const std::string &user, const std::string &pwd);
  /* openssl s_server on a port of its choosing with the given certificate and key files and extra
   * words (for example {"-rev"} or {"-tls1_2", "-cipher", "AES128-SHA", "-rev"}). Its standard
   * input is empty: without -rev or -www it ends after its first connection. */
  static std::unique_ptr<peer_proc> s_server(const std::string &cert, const std::string &key,
                                             const std::vector<std::string> &extra);

private:
  peer_proc() = default;
  bool start(const std::vector<std::string> &argv);
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

/* A new empty directory under /tmp; removed by peer_rmdir. */
std::string peer_tmpdir();
void peer_rmdir(const std::string &dir);
/* Writes text to path; false on failure. */
bool peer_write_file(const std::string &path, const std::string &text);
/* Waits up to timeout_ms for 127.0.0.1:port to accept a connection. */
bool peer_wait_listen(int port, int timeout_ms);
/* Creates an EC P-256 key and a self-signed certificate with openssl req (cert.pem, key.pem in
 * dir); with rsa true an RSA 2048 key (for static-RSA suites). */
bool peer_make_cert(const std::string &dir, bool rsa);
