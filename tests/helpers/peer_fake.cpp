#include "helpers/peer_fake.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/* Every wait of these peers is a poll of at most 100 ms between looks at the stop flag, and a
 * script step gives up after 10 s, so a test that goes wrong never hangs on its peer. */
constexpr int SLICE_MS = 100;
constexpr int STEP_LIMIT_MS = 10000;

bool wait_fd(int fd, short ev, const std::atomic<int> &stop, int limit_ms)
{
  for (int spent = 0; spent < limit_ms && !stop.load(); spent += SLICE_MS) {
    pollfd p{fd, ev, 0};
    if (poll(&p, 1, SLICE_MS) > 0)
      return true;
  }
  return false;
}

int accept_one(int lfd, const std::atomic<int> &stop)
{
  while (!stop.load()) {
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, SLICE_MS) > 0) {
      int fd = accept(lfd, nullptr, nullptr);
      if (fd >= 0)
        return fd;
    }
  }
  return -1;
}

bool send_all(int fd, const std::string &s)
{
  size_t off = 0;
  while (off < s.size()) {
    ssize_t r = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return false;
    off += (size_t)r;
  }
  return true;
}

} // namespace

int peer_listen(int *port)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 16) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int peer_free_port()
{
  int port = 0;
  int fd = peer_listen(&port);
  if (fd >= 0)
    close(fd);
  return port;
}

peer_fake::peer_fake(std::vector<peer_step> script, peer_end end, int connections)
    : script_(std::move(script)), end_(end), connections_(connections)
{
  listen_fd_ = peer_listen(&port_);
  if (listen_fd_ >= 0)
    thread_ = std::thread(&peer_fake::run, this);
}

peer_fake::~peer_fake()
{
  stop_.store(1);
  if (thread_.joinable())
    thread_.join();
  if (listen_fd_ >= 0)
    close(listen_fd_);
}

std::string peer_fake::received()
{
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}

void peer_fake::run()
{
  for (int n = 0; n < connections_ && !stop_.load(); n++) {
    int fd = accept_one(listen_fd_, stop_);
    if (fd < 0)
      return;
    accepted_.fetch_add(1);
    bool ok = true;
    for (const peer_step &s : script_) {
      size_t got = 0;
      char buf[4096];
      while (ok && got < s.read) {
        if (!wait_fd(fd, POLLIN, stop_, STEP_LIMIT_MS)) {
          ok = false;
          break;
        }
        size_t want = s.read - got < sizeof buf ? s.read - got : sizeof buf;
        ssize_t r = recv(fd, buf, want, 0);
        if (r <= 0) {
          ok = false;
          break;
        }
        std::lock_guard<std::mutex> g(lock_);
        received_.append(buf, (size_t)r);
        got += (size_t)r;
      }
      if (!ok || !send_all(fd, s.write))
        break;
    }
    if (end_ == peer_end::hold) {
      /* Keep the connection open without a word until the client leaves or the test ends. */
      char c;
      while (!stop_.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, SLICE_MS) > 0 && recv(fd, &c, 1, 0) <= 0)
          break;
      }
    }
    close(fd);
  }
}

peer_echo::peer_echo()
{
  listen_fd_ = peer_listen(&port_);
  if (listen_fd_ >= 0)
    thread_ = std::thread(&peer_echo::run, this);
}

peer_echo::~peer_echo()
{
  stop_.store(1);
  if (thread_.joinable())
    thread_.join();
  if (listen_fd_ >= 0)
    close(listen_fd_);
}

void peer_echo::run()
{
  std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
  std::vector<char> buf(1 << 16);
  while (!stop_.load()) {
    if (poll(fds.data(), fds.size(), SLICE_MS) <= 0)
      continue;
    for (size_t i = fds.size(); i-- > 0;) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      if (i == 0) {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0) {
          accepted_.fetch_add(1);
          fds.push_back({fd, POLLIN, 0});
        }
        continue;
      }
      ssize_t r = recv(fds[i].fd, buf.data(), buf.size(), 0);
      if (r <= 0 || !send_all(fds[i].fd, std::string(buf.data(), (size_t)r))) {
        close(fds[i].fd);
        fds.erase(fds.begin() + (long)i);
      }
    }
  }
  for (size_t i = 1; i < fds.size(); i++)
    close(fds[i].fd);
}
