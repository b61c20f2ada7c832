#include "helpers/fault_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

int connect_to(int port)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
    return fd;
  if (fd >= 0)
    close(fd);
  return -1;
}

bool write_all(int fd, const char *p, size_t n)
{
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0)
      return false;
    p += k;
    n -= (size_t)k;
  }
  return true;
}

} // namespace

fault_relay::fault_relay(int target_port, const fault_plan &plan) : target_(target_port), plan_(plan)
{
  lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t sl = sizeof sa;
  if (lfd_ < 0 || bind(lfd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(lfd_, 16) < 0 ||
      getsockname(lfd_, reinterpret_cast<sockaddr *>(&sa), &sl) < 0)
    return;
  port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

fault_relay::~fault_relay()
{
  stop_.store(true);
  if (acceptor_.joinable())
    acceptor_.join();
  std::lock_guard<std::mutex> g(lock_);
  for (std::thread &t : pumps_)
    t.join();
  if (lfd_ >= 0)
    close(lfd_);
}

void fault_relay::accept_loop()
{
  int n = 0;
  while (!stop_.load()) {
    pollfd p{lfd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    int c = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
      continue;
    int s = connect_to(target_);
    if (s < 0) {
      close(c);
      continue;
    }
    int id = n++;
    std::lock_guard<std::mutex> g(lock_);
    pumps_.emplace_back([this, id, c, s] { pump(id, c, s); });
  }
}

/* Moves bytes both ways until either side closes or the relay stops; the fault hits connection
 * plan_.conn only. */
void fault_relay::pump(int conn, int client, int server)
{
  uint64_t count[2] = {0, 0}; /* 0 upstream, 1 downstream */
  bool hit = (plan_.conn < 0 || conn == plan_.conn) && plan_.kind != fault_plan::NONE;
  int dir_hit = plan_.upstream ? 0 : 1;
  bool stalled = false;
  std::vector<char> buf(1 << 16);
  while (!stop_.load()) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (stalled) {
      /* A stall reads nothing more and sends nothing more: the peers time out. */
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (poll(p, 2, 50) <= 0)
      continue;
    bool closed = false;
    for (int d = 0; d < 2 && !closed; d++) {
      if (!(p[d].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      ssize_t k = recv(p[d].fd, buf.data(), buf.size(), 0);
      if (k <= 0) {
        closed = true;
        break;
      }
      size_t len = (size_t)k;
      /* One connection takes the fault: the first to reach the point. */
      if (hit && d == dir_hit && count[d] + len > plan_.at && count[d] <= plan_.at && !fired_.exchange(true)) {
        size_t at = (size_t)(plan_.at - count[d]);
        hit = false;
        if (plan_.kind == fault_plan::FLIP) {
          buf[at] ^= 0x01;
        } else {
          /* DROP and STALL: what came before the point still goes through. */
          write_all(d == 0 ? server : client, buf.data(), at);
          if (plan_.kind == fault_plan::DROP) {
            closed = true;
            break;
          }
          stalled = true;
          break;
        }
      }
      count[d] += len;
      if (!write_all(d == 0 ? server : client, buf.data(), len))
        closed = true;
    }
    if (closed)
      break;
  }
  close(client);
  close(server);
}
