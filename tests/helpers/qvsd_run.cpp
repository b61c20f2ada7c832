#include "helpers/qvsd_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>

namespace {
constexpr int START_MS = 60000; /* sanitizer builds start slowly on a busy machine */
constexpr int STOP_MS = 30000;
} // namespace

qvsd_run::~qvsd_run()
{
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable())
    reader_.join();
  if (fd_ >= 0)
    close(fd_);
}

bool qvsd_run::start(const std::string &bin, const std::string &root, const std::vector<std::string> &extra, bool tls)
{
  std::vector<std::string> args{bin, "root=" + root, "listen=127.0.0.1", "port=0",
                                tls ? "tls_port=0" : "tls_port=off"};
  bool users = false;
  for (const std::string &w : extra)
    users = users || w.rfind("users=", 0) == 0;
  if (!users)
    args.push_back("anonymous=yes");
  args.insert(args.end(), extra.begin(), extra.end());
  return launch(args) && wait_ready(true, tls, START_MS);
}

bool qvsd_run::launch(const std::vector<std::string> &argv)
{
  if (argv.empty() || pid_ > 0)
    return false;
  int p[2];
  if (pipe2(p, O_CLOEXEC) < 0)
    return false;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(p[1], 2);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    std::vector<char *> args;
    for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(p[1]);
  if (pid_ < 0) {
    close(p[0]);
    return false;
  }
  fd_ = p[0];
  reader_ = std::thread([this] {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) {
      std::lock_guard<std::mutex> g(lock_);
      err_.append(buf, (size_t)n);
    }
  });
  return true;
}

/* Polls what the server wrote until done() says so; false when the server ended first. */
bool qvsd_run::poll_log(int timeout_ms, const std::function<bool(const std::string &)> &done)
{
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (done(log()))
      return true;
    int st;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      if (reader_.joinable())
        reader_.join(); /* all it wrote, up to the pipe's end */
      return done(log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool qvsd_run::wait_ready(bool tcp, bool tls, int timeout_ms)
{
  static const std::regex tcp_re("qvsd: listening on (.*):([0-9]+) \\(tcp\\)\n");
  static const std::regex tls_re("qvsd: listening on (.*):([0-9]+) \\(tls, sha256 ([0-9A-F:]{95})\\)\n");
  return poll_log(timeout_ms, [&](const std::string &e) {
    std::smatch m;
    if (tcp && !tcp_port && std::regex_search(e, m, tcp_re))
      tcp_port = std::stoi(m[2]);
    if (tls && !tls_port && std::regex_search(e, m, tls_re)) {
      tls_port = std::stoi(m[2]);
      fingerprint = m[3];
    }
    return (!tcp || tcp_port) && (!tls || tls_port);
  });
}

bool qvsd_run::wait_log(const std::vector<std::string> &patterns, int timeout_ms)
{
  std::vector<std::regex> res(patterns.begin(), patterns.end());
  return poll_log(timeout_ms, [&](const std::string &e) {
    for (const std::regex &re : res)
      if (!std::regex_search(e, re))
        return false;
    return true;
  });
}

int qvsd_run::stop(int sig)
{
  if (pid_ <= 0)
    return -1;
  kill(pid_, sig);
  for (int waited = 0; waited < STOP_MS; waited += 20) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      /* What it wrote last may still be in the pipe: the reader ends at the pipe's end. */
      if (reader_.joinable())
        reader_.join();
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

void qvsd_run::signal(int sig)
{
  if (pid_ > 0)
    kill(pid_, sig);
}

std::string qvsd_run::log()
{
  std::lock_guard<std::mutex> g(lock_);
  return err_;
}

std::string qvsd_run::url(const std::string &path, bool tls) const
{
  return (tls ? "qvps://127.0.0.1:" + std::to_string(tls_port) : "qvp://127.0.0.1:" + std::to_string(tcp_port)) +
         path;
}

const char *qvsd_side_name(int side)
{
  static const char *names[] = {"local", "push", "pull", "remote_to_remote",
                                "tls", "push_tls", "pull_tls", "remote_to_remote_tls"};
  return side >= 0 && side < 8 ? names[side] : "unknown";
}

qvsd_side_words qvsd_side_words_of(const qvsd_run &srv, const std::string &root, const std::string &in,
                                   const std::string &out, int side)
{
  qvsd_side_words w;
  w.ip = w.I = in;
  w.op = w.O = out;
  bool tls = side & SIDE_TLS;
  if (side & SIDE_PULL) {
    w.ip = in.substr(root.size());
    w.I = srv.url(w.ip, tls);
  }
  if (side & SIDE_PUSH) {
    w.op = out.substr(root.size());
    w.O = srv.url(w.op, tls);
  }
  return w;
}
