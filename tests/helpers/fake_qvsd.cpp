#include "helpers/fake_qvsd.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "helpers/peer_fake.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

constexpr int SLICE_MS = 100;
constexpr int IDLE_MS = 20000; /* a silent client is given up after this */

/* Reads exactly n bytes; false on close, error or stop. */
bool read_n(int fd, void *buf, size_t n, const std::atomic<int> &stop)
{
  char *p = static_cast<char *>(buf);
  size_t got = 0;
  int idle = 0;
  while (got < n) {
    if (stop.load() || idle >= IDLE_MS)
      return false;
    pollfd pf{fd, POLLIN, 0};
    int r = poll(&pf, 1, SLICE_MS);
    if (r <= 0) {
      idle += SLICE_MS;
      continue;
    }
    ssize_t k = recv(fd, p + got, n - got, 0);
    if (k <= 0)
      return false;
    got += (size_t)k;
  }
  return true;
}

void write_all(int fd, const std::string &s)
{
  size_t off = 0;
  while (off < s.size()) {
    ssize_t k = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (k <= 0)
      return;
    off += (size_t)k;
  }
}

const uint8_t *find_member(const std::string &body, const char *name)
{
  if (body.size() < 4)
    return nullptr;
  const uint8_t *p = reinterpret_cast<const uint8_t *>(body.data()) + 4;
  uint32_t len = (uint32_t)body.size() - 4, off = 0;
  while (off + 4 <= len) {
    const uint8_t *a = p + off;
    uint32_t plen = qvsd_attr_padlen(a);
    if (plen < 4 || plen > len - off || qvsd_attr_check(a, len - off, true) < 0)
      return nullptr;
    uint32_t nlen = 0;
    const char *n = qvsd_attr_name(a, &nlen);
    if (nlen == strlen(name) && memcmp(n, name, nlen) == 0)
      return a;
    off += plen;
  }
  return nullptr;
}

} // namespace

bool fake_req::has(const char *name) const
{
  return find_member(body, name) != nullptr;
}

std::string fake_req::str(const char *name) const
{
  const uint8_t *a = find_member(body, name);
  return a && qvsd_attr_type(a) == QVSD_T_STRING ? qvsd_attr_str(a) : "";
}

int64_t fake_req::num(const char *name) const
{
  const uint8_t *a = find_member(body, name);
  if (!a)
    return 0;
  switch (qvsd_attr_type(a)) {
  case QVSD_T_INT64:
    return qvsd_attr_i64(a);
  case QVSD_T_INT32:
    return qvsd_attr_i32(a);
  default:
    return 0;
  }
}

std::string fake_req::raw(const char *name) const
{
  const uint8_t *a = find_member(body, name);
  if (!a)
    return "";
  return std::string(static_cast<const char *>(qvsd_attr_data(a)), qvsd_attr_data_len(a));
}

std::string fake_frame_raw(uint8_t proto, uint8_t cmd, const qvsd_msg &m)
{
  uint8_t head[QVSD_FRAME_HEAD];
  qvsd_frame_head(head, proto, cmd, m.data);
  return std::string(reinterpret_cast<char *>(head), sizeof head) +
         std::string(reinterpret_cast<char *>(m.data) + 4, m.len - 4);
}

std::string fake_frame(uint8_t proto, uint8_t cmd, int32_t eno, const char *estr,
                       const std::function<void(qvsd_msg *)> &more)
{
  qvsd_msg m;
  qvsd_msg_reset(&m);
  qvsd_msg_add_i32(&m, "errno", eno);
  qvsd_msg_add_str(&m, "errno_str", estr);
  if (more)
    more(&m);
  std::string s = fake_frame_raw(proto, cmd, m);
  qvsd_msg_free(&m);
  return s;
}

fake_reply fake_model::answer(const fake_req &r) const
{
  auto ok = [&](const std::function<void(qvsd_msg *)> &more = {}) {
    return fake_reply{fake_frame(proto, r.cmd, 0, "", more)};
  };
  auto fail = [&](int32_t eno, const char *text) { return fake_reply{fake_frame(proto, r.cmd, eno, text)}; };
  switch (r.cmd) {
  case QVSD_CMD_LOGIN: {
    bool probe = r.str("user") == ":" && r.str("passwd").empty();
    if (probe && !accept_probe)
      return fail(1, "need login");
    if (!probe) {
      char want[64];
      qvsd_passwd_digest(password.c_str(), want, sizeof want);
      if (proto != 1 || r.str("user") != user || r.str("passwd") != want)
        return fail(-38, "login failed");
    }
    return ok([&](qvsd_msg *m) { qvsd_msg_add_i32(m, "os_type", os_type); });
  }
  case QVSD_CMD_LOGIN_CHALLENGE:
    if (r.str("user") != user || r.num("ver") != 1)
      return fail(-38, "unknown user");
    return ok([&](qvsd_msg *m) {
      qvsd_msg_add_i32(m, "ver", 1);
      qvsd_msg_add_str(m, "cert", cert.c_str());
    });
  case QVSD_CMD_LOGIN_KEY: {
    char want[LIBPWD_KEY_LEN + 1];
    libpwd_build_key(user.c_str(), password.c_str(), cert.c_str(), want, sizeof want);
    return r.str("lkey") == want ? ok() : fail(-38, "login failed");
  }
  case QVSD_CMD_INFO: {
    std::string info = "ver=[" + ver + "]\nplat=[" + plat + "]\nlog_file=[/var/log/qvsd.log]\n";
    return ok([&](qvsd_msg *m) { qvsd_msg_add_str(m, "info", info.c_str()); });
  }
  case QVSD_CMD_IOCTL:
    if (r.num("cmd") == QVSD_IOCTL_PING && !ping_error.empty())
      return fail(-37, ping_error.c_str());
    return ok();
  case QVSD_CMD_IOCTL2:
    return ok([&](qvsd_msg *m) { qvsd_msg_add_raw(m, "data", nullptr, 0); });
  case QVSD_CMD_EXIT:
    return fake_reply{"", true};
  default:
    return ok();
  }
}

fake_qvsd::fake_qvsd(handler h) : handler_(std::move(h))
{
  listen_fd_ = peer_listen(&port_);
  thread_ = std::thread([this] { run(); });
}

fake_qvsd::~fake_qvsd()
{
  stop_.store(1);
  thread_.join();
  if (listen_fd_ >= 0)
    close(listen_fd_);
}

std::string fake_qvsd::url(const std::string &userinfo, const std::string &query) const
{
  std::string u = "qvp://";
  if (!userinfo.empty())
    u += userinfo + "@";
  u += "127.0.0.1:" + std::to_string(port_) + "/data";
  if (!query.empty())
    u += "?" + query;
  return u;
}

std::vector<fake_req> fake_qvsd::requests()
{
  std::lock_guard<std::mutex> g(lock_);
  return reqs_;
}

int fake_qvsd::count(uint8_t cmd)
{
  std::lock_guard<std::mutex> g(lock_);
  int n = 0;
  for (const fake_req &r : reqs_)
    n += r.cmd == cmd;
  return n;
}

void fake_qvsd::run()
{
  int idx = 0;
  while (!stop_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, SLICE_MS) <= 0)
      continue;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0)
      continue;
    accepted_.fetch_add(1);
    serve(fd, idx++);
    close(fd);
  }
}

void fake_qvsd::serve(int fd, int idx)
{
  for (;;) {
    uint8_t head[QVSD_FRAME_HEAD];
    if (!read_n(fd, head, sizeof head, stop_))
      return;
    uint32_t t = qvsd_frame_body_len(head);
    if (head[0] != QVSD_MAGIC0 || head[1] != QVSD_MAGIC1 || t < 4 || t > (16u << 20))
      return;
    std::string body(reinterpret_cast<char *>(head) + 4, 4);
    body.resize(t);
    if (t > 4 && !read_n(fd, body.data() + 4, t - 4, stop_))
      return;
    fake_req r{idx, head[2], head[3], body};
    {
      std::lock_guard<std::mutex> g(lock_);
      reqs_.push_back(r);
    }
    fake_reply rep = handler_(r);
    if (!rep.bytes.empty())
      write_all(fd, rep.bytes);
    if (rep.close)
      return;
  }
}
