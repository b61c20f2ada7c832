#include "helpers/peer_proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "helpers/peer_fake.h"
#include "helpers/run_cmd.h"

namespace {

/* A port taken by someone else between peer_free_port and the peer's bind makes the peer exit;
 * the fixture then takes another port. Three rounds are plenty on a quiet loopback. */
constexpr int START_ROUNDS = 3;
constexpr int LISTEN_WAIT_MS = 10000;

} // namespace

std::string peer_tmpdir()
{
  char tmpl[] = "/tmp/qv_peer_XXXXXX";
  const char *d = mkdtemp(tmpl);
  return d ? d : "";
}

void peer_rmdir(const std::string &dir)
{
  std::error_code ec;
  if (!dir.empty())
    std::filesystem::remove_all(dir, ec);
}

bool peer_write_file(const std::string &path, const std::string &text)
{
  std::ofstream f(path, std::ios::binary);
  f << text;
  return (bool)f;
}

bool peer_wait_listen(int port, int timeout_ms)
{
  for (int spent = 0; spent < timeout_ms; spent += 20) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    if (ok)
      return true;
    usleep(20000);
  }
  return false;
}

bool peer_make_cert(const std::string &dir, bool rsa)
{
  std::vector<std::string> args = {"req", "-x509", "-nodes", "-days", "30", "-subj", "/CN=qv-test",
                                   "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"};
  if (rsa) {
    args.insert(args.end(), {"-newkey", "rsa:2048"});
  } else {
    args.insert(args.end(), {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"});
  }
  return run_cmd("/usr/bin/openssl", args).status == 0;
}

peer_proc::~peer_proc()
{
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int st;
    bool gone = false;
    for (int i = 0; i < 100 && !gone; i++) {
      gone = waitpid(pid_, &st, WNOHANG) == pid_;
      if (!gone)
        usleep(20000);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
  }
  peer_rmdir(dir_);
}

std::string peer_proc::output() const
{
  std::ifstream f(dir_ + "/output");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool peer_proc::running()
{
  int st;
  if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_)
    pid_ = -1;
  return pid_ > 0;
}

bool peer_proc::start(const std::vector<std::string> &argv)
{
  std::string out = dir_ + "/output";
  pid_t pid = fork();
  if (pid < 0)
    return false;
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int in = open("/dev/null", O_RDONLY);
    if (fd < 0 || in < 0)
      _exit(127);
    dup2(in, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    setpgid(0, 0);
    std::vector<char *> av;
    for (const std::string &a : argv)
      av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  pid_ = pid;
  return true;
}

std::unique_ptr<peer_proc> peer_proc::tinyproxy(const std::string &user, const std::string &pwd)
{
  for (int round = 0; round < START_ROUNDS; round++) {
    std::unique_ptr<peer_proc> p(new peer_proc);
    p->dir_ = peer_tmpdir();
    p->port_ = peer_free_port();
    std::string conf = "Port " + std::to_string(p->port_) + "\nListen 127.0.0.1\nTimeout 30\n" +
                       "LogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n";
    if (!user.empty())
      conf += "BasicAuth " + user + " " + pwd + "\n";
    if (!peer_write_file(p->dir_ + "/tinyproxy.conf", conf))
      return nullptr;
    if (!p->start({"/usr/bin/tinyproxy", "-d", "-c", p->dir_ + "/tinyproxy.conf"}))
      return nullptr;
    if (peer_wait_listen(p->port_, LISTEN_WAIT_MS) && p->running())
      return p;
  }
  return nullptr;
}

std::unique_ptr<peer_proc> peer_proc::microsocks(const std::string &user, const std::string &pwd)
{
  for (int round = 0; round < START_ROUNDS; round++) {
    std::unique_ptr<peer_proc> p(new peer_proc);
    p->dir_ = peer_tmpdir();
    p->port_ = peer_free_port();
    std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(p->port_)};
    if (!user.empty())
      argv.insert(argv.end(), {"-u", user, "-P", pwd});
    if (!p->start(argv))
      return nullptr;
    if (peer_wait_listen(p->port_, LISTEN_WAIT_MS) && p->running())
      return p;
  }
  return nullptr;
}

std::unique_ptr<peer_proc> peer_proc::s_server(const std::string &cert, const std::string &key,
                                               const std::vector<std::string> &extra)
{
  std::unique_ptr<peer_proc> p(new peer_proc);
  p->dir_ = peer_tmpdir();
  std::vector<std::string> argv = {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:0",
                                   "-cert", cert, "-key", key};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!p->start(argv))
    return nullptr;
  /* s_server binds port 0 and prints "ACCEPT 127.0.0.1:<port>". */
  for (int spent = 0; spent < LISTEN_WAIT_MS; spent += 20) {
    std::string out = p->output();
    size_t at = out.find("ACCEPT 127.0.0.1:");
    size_t eol = at == std::string::npos ? at : out.find('\n', at);
    if (eol != std::string::npos) {
      p->port_ = atoi(out.c_str() + at + strlen("ACCEPT 127.0.0.1:"));
      return p->port_ > 0 ? std::move(p) : nullptr;
    }
    if (!p->running())
      return nullptr;
    usleep(20000);
  }
  return nullptr;
}
