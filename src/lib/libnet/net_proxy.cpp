#define LOG_TAG "pal"
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <string>
#include <unistd.h>

#include "libconf/conf.h"
#include "liblog/log2.h"
#include "libnet/net.h"
#include "libpal/string/pl_base64.h"

namespace {

constexpr size_t PROXY_PWD_HEX_MAX = 255;
constexpr size_t HTTP_REQUEST_MAX = 4096;
/* A proxy that sends header lines without end would keep the byte loop going; 64 KiB is far above
 * any real CONNECT answer. */
constexpr size_t HTTP_HEADER_MAX = 65536;

bool copy_field(char *dst, size_t size, const char *src)
{
  size_t n = strlen(src);
  if (n >= size)
    return false;
  memcpy(dst, src, n + 1);
  return true;
}

} // namespace

int conf_proxy_2_id(const char *name, vperror *errp)
{
  if (strcmp(name, "http") == 0)
    return PROXY_HTTP;
  /* SOCKS4 already sends a name it cannot resolve for the proxy to resolve (4a). */
  if (strcmp(name, "socks4") == 0 || strcmp(name, "socks4a") == 0)
    return PROXY_SOCKS4;
  if (strcmp(name, "socks5") == 0)
    return PROXY_SOCKS5;
  VPERROR_SET(errp, VERR_PARAM, "proxy protocol [%s] Unsupported\n", name);
  return -1;
}

int conf_proxy_load(const char *file, const char *name, proxy_desc *d, char *url_text, size_t size,
                    vperror *errp)
{
  std::unique_ptr<conf_handle, void (*)(conf_handle *)> h(conf_load(file), conf_close);
  if (!h)
    return VPERROR_SET(errp, VERR_PARAM, "conf_load [%s] failed", file), -1;
  bool found = false;
  for (const std::string &s : conf_list_sections(h.get()))
    found = found || s == name;
  if (!found)
    return VPERROR_SET(errp, VERR_PARAM, "proxy name [%s] does not exist", name), -1;
  const char *hex = conf_get_str(h.get(), name, "pwd", "");
  size_t hl = strlen(hex);
  /* The message names the entry, not the value: the hex text is the password. */
  if (hl > PROXY_PWD_HEX_MAX || str_hex_decode(hex, hl, d->pwd, sizeof d->pwd - 1) < 0)
    return VPERROR_SET(errp, VERR_PARAM, "proxy pwd [%s] invalid", name), -1;
  d->pwd[hl / 2] = 0;
  if (strlen(d->pwd) != hl / 2)
    return VPERROR_SET(errp, VERR_PARAM, "proxy pwd [%s] invalid", name), -1;
  if (!copy_field(d->protocol, sizeof d->protocol, conf_get_str(h.get(), name, "proto", "")) ||
      !copy_field(d->host, sizeof d->host, conf_get_str(h.get(), name, "ip", "")) ||
      !copy_field(d->user, sizeof d->user, conf_get_str(h.get(), name, "user", "")))
    return VPERROR_SET(errp, VERR_PARAM, "proxy name [%s]: value too long", name), -1;
  d->port = conf_get_int(h.get(), name, "port", 0);
  if (url_text && size) {
    if (d->user[0] && d->pwd[0])
      snprintf(url_text, size, "%s://%s:%s@%s:%d", d->protocol, d->user, d->pwd, d->host, d->port);
    else
      snprintf(url_text, size, "%s://%s:%d", d->protocol, d->host, d->port);
  }
  return 0;
}

int conf_proxy_get(const char *proxy_url, const char *proxy_name, proxy_desc *desc, vperror *errp)
{
  auto tmp = std::make_unique<proxy_desc>();
  *tmp = proxy_desc{};
  auto buf = std::make_unique<char[]>(URL_BUF_SIZE);
  auto text = std::make_unique<char[]>(URL_BUF_SIZE);
  auto masked = std::make_unique<char[]>(URL_BUF_SIZE);
  url u;
  bool from_file = false;
  if (proxy_url && *proxy_url) {
    if (url_parser(&u, proxy_url, buf.get(), URL_BUF_SIZE) < 0)
      return VPERROR_SET(errp, VERR_PARAM, "proxy url [%s] invalid",
                         url_text_mask(proxy_url, masked.get(), URL_BUF_SIZE)),
             -1;
  } else if (proxy_name && *proxy_name) {
    const char *file = getenv("QV_PROXY_FILE");
    if (!file || !*file)
      return VPERROR_SET(errp, VERR_PARAM, "%s", "%QV_ENV_PROXY_FILE% Is NULL"), -1;
    if (conf_proxy_load(file, proxy_name, tmp.get(), text.get(), URL_BUF_SIZE, errp) < 0)
      return -1;
    LOGD("use proxy=%s [%s]\n", proxy_name, url_text_mask(text.get(), masked.get(), URL_BUF_SIZE));
    from_file = true;
  } else {
    const char *env = getenv("http_proxy");
    if (!env || !*env)
      return 1;
    url_text_mask(env, masked.get(), URL_BUF_SIZE);
    if (url_parser(&u, env, buf.get(), URL_BUF_SIZE) < 0)
      return VPERROR_SET(errp, VERR_PARAM, "env url [%s] invalid", masked.get()), -1;
    LOGD("use http_proxy=%s\n", masked.get());
  }
  if (!from_file) {
    if (!copy_field(tmp->protocol, sizeof tmp->protocol, u.protocol) ||
        !copy_field(tmp->host, sizeof tmp->host, u.host) || !copy_field(tmp->user, sizeof tmp->user, u.user) ||
        !copy_field(tmp->pwd, sizeof tmp->pwd, u.passwd))
      return VPERROR_SET(errp, VERR_PARAM, "proxy url: a field is too long"), -1;
    tmp->port = (int)u.port;
  }
  tmp->type = conf_proxy_2_id(tmp->protocol, errp);
  if (tmp->type < 0)
    return -1;
  if (!tmp->host[0])
    return VPERROR_SET(errp, VERR_PARAM, "proxy ip is empty"), -1;
  if (tmp->port == 0)
    return VPERROR_SET(errp, VERR_PARAM, "proxy port is empty"), -1;
  *desc = *tmp;
  return 0;
}

int proxy_tcp_connect(const char *host, int port, net_params *p, vperror *errp)
{
  LOGV("==>\n");
  int type = p->proxy.type;
  p->proxy.type = PROXY_NONE;
  int fd = sock_tcp_connect(p->proxy.host, p->proxy.port, p, errp);
  if (fd < 0) {
    LOGD("connect proxy server %s:%d failed\n", p->proxy.host, p->proxy.port);
    p->proxy.type = type;
    return -1;
  }
  LOGD("connect proxy ip=%s port=%d ok!\n", p->proxy.host, p->proxy.port);
  auto c = std::make_unique<net>();
  c->fd = fd;
  c->ops = &net_tcp_ops;
  c->io_timeout = p->connect_timeout;
  c->abort_check = p->abort_check;
  int rc;
  switch (type) {
  case PROXY_HTTP: rc = proxy_http_init(c.get(), host, port, &p->proxy, errp); break;
  case PROXY_SOCKS4: rc = proxy_sock4_init(c.get(), host, port, &p->proxy, errp); break;
  case PROXY_SOCKS5: rc = proxy_sock5_init(c.get(), host, port, &p->proxy, errp); break;
  default: rc = (VPERROR_SET(errp, VERR_FAIL, "Unsupported proxy type=%d", type), -1); break;
  }
  p->proxy.type = type;
  if (rc < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int proxy_http_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp)
{
  char line[HTTP_REQUEST_MAX];
  bool v6 = strchr(host, ':') != nullptr;
  int n = snprintf(line, sizeof line,
                   v6 ? "CONNECT [%s]:%d HTTP/1.1\r\nHost: [%s]:%d\r\n" : "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n",
                   host, port, host, port);
  if (n < 0 || (size_t)n >= sizeof line)
    return VPERROR_SET(errp, VERR_FAIL, "proxy request too long"), -1;
  std::string req(line, (size_t)n);
  std::string shown = req;
  if (p->user[0]) {
    std::string cred = std::string(p->user) + ":" + p->pwd;
    std::string b64(str_base64_len(cred.size()) + 1, '\0');
    int bl = str_base64_encode(cred.data(), cred.size(), b64.data(), b64.size());
    if (bl < 0)
      return VPERROR_SET(errp, VERR_FAIL, "proxy request too long"), -1;
    b64.resize((size_t)bl);
    req += "Proxy-Authorization: Basic " + b64 + "\r\n";
    shown += "Proxy-Authorization: Basic ***\r\n";
  }
  req += "\r\n";
  shown += "\r\n";
  if (req.size() > HTTP_REQUEST_MAX)
    return VPERROR_SET(errp, VERR_FAIL, "proxy request too long"), -1;
  LOGV("[%s]", shown.c_str());
  if (net_write_all(c, req.data(), (int)req.size()) < 0)
    return VPERROR_SET(errp, VERR_FAIL, "proxy send error"), -1;
  char st[13] = {};
  int r = net_read(c, st, 12);
  LOGV("ret=%d\n", r);
  if (r != 12) {
    LOGD("net_read ret=%d !=12 error\n", r);
    return VPERROR_SET(errp, VERR_FAIL, "proxy recv len error"), -1;
  }
  if (st[9] == '2') {
    LOGV("read last...\n");
    uint32_t window = 0;
    for (size_t i = 0; window != 0x0D0A0D0Au; i++) {
      unsigned char ch;
      if (i >= HTTP_HEADER_MAX || net_read(c, &ch, 1) != 1)
        return VPERROR_SET(errp, VERR_FAIL, "proxy read return error"), -1;
      window = window << 8 | ch;
    }
    LOGD("proxy init ok!!\n");
    return 0;
  }
  st[11] = 0;
  for (int i = 0; i < 11; i++)
    if ((unsigned char)st[i] < 32 || (unsigned char)st[i] > 126)
      st[i] = '.';
  LOGD("net_read [%s] buf[9]=%c !=2 error\n", st, st[9]);
  if (st[9] == '4')
    return VPERROR_SET(errp, VERR_FAIL, "proxy user or pwd error"), -1;
  return VPERROR_SET(errp, VERR_FAIL, "proxy read return error"), -1;
}

int proxy_sock4_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp)
{
  in6_addr a6;
  if (inet_pton(AF_INET6, host, &a6) == 1)
    return VPERROR_SET(errp, VERR_FAIL, "SOCK4 does not support IPv6"), -1;
  uint32_t addr = 0xFFFFFFFFu; /* no IPv4 address: the proxy resolves the name */
  in_addr a4;
  if (inet_pton(AF_INET, host, &a4) == 1) {
    addr = ntohl(a4.s_addr);
  } else {
    /* A name without an IPv4 address here (or whose lookup outlasts the time-out) goes to the
     * proxy to resolve. */
    sockaddr_storage sa{};
    socklen_t len = 0;
    vperror ignored{};
    if (sock_resolve(host, port, AF_INET, c->io_timeout, c->abort_check, &sa, &len, &ignored) == 0)
      addr = ntohl(reinterpret_cast<sockaddr_in *>(&sa)->sin_addr.s_addr);
  }
  LOGV("hostaddr=%x\n", addr);
  std::string req;
  req += (char)4;
  req += (char)1;
  req += (char)(port >> 8 & 0xff);
  req += (char)(port & 0xff);
  bool socks4a = addr == 0xFFFFFFFFu;
  uint32_t sent_addr = socks4a ? 1 : addr;
  for (int s = 24; s >= 0; s -= 8)
    req += (char)(sent_addr >> s & 0xff);
  req += p->user;
  req += '\0';
  if (socks4a) {
    LOGV("use socks4a\n");
    req += host;
    req += '\0';
  }
  if (net_write_all(c, req.data(), (int)req.size()) < 0)
    return VPERROR_SET(errp, VERR_FAIL, "proxy send error"), -1;
  unsigned char r[8] = {};
  int n = net_read(c, r, 8);
  if (n != 8 || r[0] != 0 || r[1] != 0x5A) {
    LOGD("ret=%d error\n", n == 8 ? r[1] : n);
    return VPERROR_SET(errp, VERR_FAIL, "proxy read return error"), -1;
  }
  return 0;
}

static const char *const k_socks5_reply[] = {
    nullptr,
    "General SOCKS server failure!",
    "Connection not allowed by ruleset!",
    "Network unreachable!",
    "Host unreachable!",
    "Connection refused!",
    "TTL (packet time to live) expired!",
    "SOCKS Command not supported!",
    "Address type not supported!",
};

int proxy_sock5_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp)
{
  bool auth = p->user[0] != 0;
  unsigned char greet[4] = {5, 1, 0, 2};
  if (auth)
    greet[1] = 2;
  if (net_write_all(c, greet, auth ? 4 : 3) < 0)
    return VPERROR_SET(errp, VERR_FAIL, "proxy send error"), -1;
  unsigned char b[4] = {};
  int n = net_read(c, b, 2);
  if (n == 2 && !auth && b[1] != 0)
    b[1] = 0xFF;
  if (n != 2 || b[0] != 5 || b[1] == 0xFF || (b[1] != 0 && b[1] != 2)) {
    LOGD("nrbytes=%d buf[0]=0x%x buf[1]=0x%x error\n", n, b[0], b[1]);
    return VPERROR_SET(errp, VERR_PARAM, "Proxy read return error"), -1;
  }
  if (b[1] == 2) {
    size_t ul = strlen(p->user), pl = strlen(p->pwd);
    if (ul > 255 || pl > 255)
      return VPERROR_SET(errp, VERR_PARAM, "Proxy password or user name error"), -1;
    std::string s;
    s += (char)1;
    s += (char)ul;
    s += p->user;
    s += (char)pl;
    s += p->pwd;
    if (net_write_all(c, s.data(), (int)s.size()) < 0)
      return VPERROR_SET(errp, VERR_FAIL, "proxy send error"), -1;
    n = net_read(c, b, 2);
    if (n != 2 || b[1] != 0)
      return VPERROR_SET(errp, VERR_PARAM, "Proxy password or user name error"), -1;
  }
  std::string req;
  req += (char)5;
  req += (char)1;
  req += (char)0;
  unsigned char a[16];
  if (inet_pton(AF_INET, host, a) == 1) {
    req += (char)1;
    req.append(reinterpret_cast<char *>(a), 4);
  } else if (inet_pton(AF_INET6, host, a) == 1) {
    req += (char)4;
    req.append(reinterpret_cast<char *>(a), 16);
  } else {
    size_t hl = strlen(host);
    if (hl == 0 || hl > 255)
      return VPERROR_SET(errp, VERR_PARAM, "host name [%.300s] too long for SOCKS5", host), -1;
    req += (char)3;
    req += (char)hl;
    req += host;
  }
  req += (char)(port >> 8 & 0xff);
  req += (char)(port & 0xff);
  if (net_write_all(c, req.data(), (int)req.size()) < 0)
    return VPERROR_SET(errp, VERR_FAIL, "proxy send error"), -1;
  unsigned char r[4] = {};
  n = net_read(c, r, 4);
  if (n == 4 && r[0] == 5 && r[1] == 0) {
    unsigned char rest[258];
    int want;
    if (r[3] == 1)
      want = 6;
    else if (r[3] == 4)
      want = 18;
    else if (r[3] == 3 && net_read(c, rest, 1) == 1)
      want = rest[0] + 2;
    else
      want = -1;
    if (want > 0 && net_read(c, rest, want) == want)
      return 0;
    return VPERROR_SET(errp, VERR_FAIL, "proxy unkown error: %d", r[1]), -1;
  }
  if (n == 4 && r[0] == 5 && r[1] >= 1 && r[1] <= 8)
    return VPERROR_SET(errp, VERR_FAIL, "%s", k_socks5_reply[r[1]]), -1;
  return VPERROR_SET(errp, VERR_FAIL, "proxy unkown error: %d", r[1]), -1;
}
